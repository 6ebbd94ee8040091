// get_authen_continue() on arbitrary bytes: what it returns must add up
// (5 + user message + data = body length) and everything it refuses must
// have been answered with an error reply on the socket.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "daemon/packet/packet.h"
#include "fuzz/packet_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int peer = -1;
    int fd = zat_fuzz::connect_input(data, size, peer);
    if (fd < 0)
        return 0;
    for (int i = 0; i < 16; i++) {
        unsigned char *packet = get_authen_continue();
        if (!packet)
            break;
        uint32_t length = (uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) |
                          (uint32_t(packet[10]) << 8) | uint32_t(packet[11]);
        uint16_t user_len, data_len;
        memcpy(&user_len, packet + HEADER_SIZE, 2);
        memcpy(&data_len, packet + HEADER_SIZE + 2, 2);
        if (length < 5 || 5u + user_len + data_len != length || packet[1] != TYPE_AUTHEN)
            abort();
        if (data_len)
            packet[HEADER_SIZE + length - 1] ^= 1;
        free(packet);
        send_authen_reply(0x05, "Password: ", 10, nullptr, 0, 1);
    }
    close(fd);
    close(peer);
    return 0;
}
