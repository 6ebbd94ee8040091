// read_packet() on arbitrary bytes from a NAS: every packet that it returns
// must be exactly as long as its header says, and within the size limit.
#include <stdlib.h>
#include <unistd.h>

#include "daemon/packet/packet.h"
#include "fuzz/packet_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int peer = -1;
    int fd = zat_fuzz::connect_input(data, size, peer);
    if (fd < 0)
        return 0;
    for (int i = 0; i < 64; i++) {
        unsigned char *packet = read_packet();
        if (!packet)
            break;
        uint32_t length = (uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) |
                          (uint32_t(packet[10]) << 8) | uint32_t(packet[11]);
        if (length > MAX_BODY_SIZE || (packet[0] & 0xf0) != 0xc0)
            abort();
        // Touch the last body byte: the block must hold all of it.
        if (length)
            packet[HEADER_SIZE + length - 1] ^= 1;
        free(packet);
        session.seq_no++;  // the reply the daemon would send
    }
    close(fd);
    close(peer);
    return 0;
}
