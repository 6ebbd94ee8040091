// The module's own socket primitives, shared by its translation units.  C++
// linkage in a namespace of their own, so that they can never collide with a
// daemon's functions of the same names.
#ifndef ZAT_PACKET_TRANSPORT_H
#define ZAT_PACKET_TRANSPORT_H

#include <stdint.h>

namespace zat_packet {

// Reads exactly count bytes from fd, waiting with poll before every chunk.
// Returns count, 0 for a count of 0 or less, and -1 after logging a failure.
int sockread(int fd, unsigned char *buffer, int count);

// Obfuscates a finished packet (header and body in wire order, body plain)
// in place and writes it to session.conn_fd.  Failures are only logged.
void write_packet(unsigned char *packet);

// The key for the session's NAS: by address, then by name, then the default.
const char *session_key(void);

inline uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

} // namespace zat_packet

#endif
