// read_packet(): one TACACS+ packet off the NAS connection.
//
// The header is read into a buffer of our own and checked before anything is
// allocated; the block is then sized exactly to header plus body, and the body
// is read straight into it and de-obfuscated in place.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"

using zat_packet::get_be32;
using zat_packet::sockread;

extern "C" __attribute__((weak)) unsigned char *read_packet(void)
{
    unsigned char header[HEADER_SIZE];

    if (debug & DEBUG_PACKET_FLAG)
        report(7, "Waiting for packet");

    int got = sockread(session.conn_fd, header, HEADER_SIZE);
    if (got != HEADER_SIZE) {
        report(7, "Read %d bytes from %s %s, expecting %d", got, session.peer_name,
               session.addr_buf, HEADER_SIZE);
        return nullptr;
    }

    // Kept for the reply's flags even when the packet is refused below.
    session.last_hdr_flags = header[3];

    if ((header[0] & 0xf0) != VERSION_DEFAULT) {
        report(3, "%s: Illegal major version specified: found %d wanted %d\n", session.peer_name,
               header[0], VERSION_DEFAULT);
        return nullptr;
    }

    uint32_t length = get_be32(header + 8);
    if (length > MAX_BODY_SIZE) {
        report(3, "%s: Illegal data size: %lu\n", session.peer_name, static_cast<unsigned long>(length));
        return nullptr;
    }

    int body_len = static_cast<int>(length);
    unsigned char *packet = static_cast<unsigned char *>(zat_malloc(HEADER_SIZE + body_len));
    memcpy(packet, header, HEADER_SIZE);

    if (sockread(session.conn_fd, packet + HEADER_SIZE, body_len) != body_len) {
        report(3, "%s: start_session: bad socket read", session.peer_name);
        free(packet);
        return nullptr;
    }

    // Both stay in effect when the sequence check fails.
    session.seq_no++;
    session.last_activity = time(nullptr);

    if (session.seq_no != static_cast<int>(header[2])) {
        report(3, "%s: Illegal session seq #, expecting %d, received %d", session.peer_name,
               session.seq_no, header[2]);
        free(packet);
        return nullptr;
    }

    if (md5_xor(packet, packet + HEADER_SIZE, zat_packet::session_key()) != 0) {
        report(3, "%s: start_session error decrypting data", session.peer_name);
        free(packet);
        return nullptr;
    }

    if (debug & DEBUG_PACKET_FLAG)
        report(7, "Read %s size=%d", summarise_incoming_packet_type(packet), HEADER_SIZE + body_len);

    session.last_version = header[0];
    return packet;
}
