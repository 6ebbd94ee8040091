// Packet summaries and debug dumps: the header fields in readable form.
#include <stdint.h>
#include <stdio.h>

#include "daemon/host/host.h"

namespace {

const char *type_name(unsigned char type)
{
    switch (type) {
    case 1:
        return "authentication";
    case 2:
        return "authorization";
    case 3:
        return "accounting";
    default:
        return "unknown";
    }
}

uint32_t be32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

const char *summary(const unsigned char *packet, const char *direction)
{
    static char text[96];
    // At most 30 characters ("authentication request seq=255"): never cut.
    (void)snprintf(text, sizeof text, "%s %s seq=%u", type_name(packet[1]), direction, packet[2]);
    return text;
}

void dump(const char *direction, const unsigned char *packet)
{
    report(7, "%s packet: version=0x%02x type=%s seq=%u flags=0x%02x session=0x%08x length=%u",
           direction, packet[0], type_name(packet[1]), packet[2], packet[3],
           static_cast<unsigned>(be32(packet + 4)), static_cast<unsigned>(be32(packet + 8)));
}

} // namespace

extern "C" {

const char *summarise_incoming_packet_type(const unsigned char *packet)
{
    return summary(packet, "request");
}

const char *summarise_outgoing_packet_type(const unsigned char *packet)
{
    return summary(packet, "reply");
}

void dump_nas_pak(const unsigned char *packet)
{
    dump("received", packet);
}

void dump_tacacs_pak(const unsigned char *packet)
{
    dump("sending", packet);
}

} // extern "C"
