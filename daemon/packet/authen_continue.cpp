// get_authen_continue(): reads the NAS's authentication CONTINUE (RFC 8907
// section 5.3) and checks its type, sequence number and size.
//
// Body: user message length (2), data length (2), flags (1), user message,
// data.  The two length fields are handed to the caller in host order.
//
// Two kinds of null result: when read_packet() gives nothing, the connection
// is broken or out of step and nothing is sent; a packet that did arrive but
// is not a proper CONTINUE gets an authentication error reply first.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"

namespace {

constexpr int continue_fixed_size = 5;
constexpr int error_text_size = 1281;
const char illegal_size[] = "Illegally sized authentication cont packet";

void be16_to_host(unsigned char *field)
{
    uint16_t value = static_cast<uint16_t>((field[0] << 8) | field[1]);
    memcpy(field, &value, sizeof value);
}

uint16_t host16(const unsigned char *field)
{
    uint16_t value;
    memcpy(&value, field, sizeof value);
    return value;
}

} // namespace

extern "C" __attribute__((weak)) unsigned char *get_authen_continue(void)
{
    unsigned char *packet = read_packet();
    if (!packet)
        return nullptr;  // read_packet() has said why; no reply

    if (packet[1] != TYPE_AUTHEN || packet[2] < 2) {
        char text[error_text_size];
        if (snprintf(text, sizeof text, "%s: Bad packet type=%d/seq no=%d when expecting authentication cont",
                     session.peer_name, packet[1], packet[2]) < 0)
            text[0] = '\0';
        report(3, "%s", text);
        send_authen_error(text);
        free(packet);
        return nullptr;
    }

    uint32_t length = zat_packet::get_be32(packet + 8);
    unsigned char *body = packet + HEADER_SIZE;
    bool sized = length >= continue_fixed_size;
    if (sized) {
        be16_to_host(body);
        be16_to_host(body + 2);
        sized = uint32_t(continue_fixed_size) + host16(body) + host16(body + 2) == length;
    }
    if (!sized) {
        report(3, "%s: %s", session.peer_name, illegal_size);
        send_authen_error(illegal_size);
        free(packet);
        return nullptr;
    }

    if (debug & DEBUG_PACKET_FLAG)
        dump_nas_pak(packet);
    return packet;
}
