// Building request headers and driving read_packet() from the NAS's end.
#ifndef ZAT_TEST_PACKET_UTIL_H
#define ZAT_TEST_PACKET_UTIL_H

#include <stdint.h>

#include <vector>

#include "daemon/host/host.h"
#include "tests/packet/recording_host.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace zat_test {

inline std::vector<unsigned char> header(unsigned char version, unsigned char type, unsigned char seq,
                                         unsigned char flags, uint32_t session_id, uint32_t length)
{
    return {version,
            type,
            seq,
            flags,
            static_cast<unsigned char>(session_id >> 24),
            static_cast<unsigned char>(session_id >> 16),
            static_cast<unsigned char>(session_id >> 8),
            static_cast<unsigned char>(session_id),
            static_cast<unsigned char>(length >> 24),
            static_cast<unsigned char>(length >> 16),
            static_cast<unsigned char>(length >> 8),
            static_cast<unsigned char>(length)};
}

// A header followed by `length` body bytes 0, 1, 2, ...
inline std::vector<unsigned char> packet(unsigned char version, unsigned char type, unsigned char seq,
                                         unsigned char flags, uint32_t length)
{
    auto p = header(version, type, seq, flags, 0x01020304, length);
    for (uint32_t i = 0; i < length; i++)
        p.push_back(static_cast<unsigned char>(i));
    return p;
}

// The daemon's end of a socketpair as session.conn_fd, the recording host
// cleared, report lines captured.
class PacketLink : public HostFixture {
protected:
    socket_pair link;

    void SetUp() override
    {
        HostFixture::SetUp();
        recording_host::reset();
        ASSERT_TRUE(make_unix_pair(link));
        session.conn_fd = link.ours;
    }
};

} // namespace zat_test

#endif
