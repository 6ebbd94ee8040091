// read_packet() and sockread(): header checks, sequence numbers, key lookup,
// the session fields it updates, and every socket failure with its message.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"
#include "tests/packet/packet_util.h"
#include "tests/packet/recording_host.h"
#include "tests/support/fake_sys.h"
#include "tests/support/reports.h"
#include "tests/support/sockets.h"

namespace {

using zat_test::report_line;
using zat_test::reports;

class ReadPacket : public zat_test::PacketLink {
protected:
    void use_tcp()
    {
        ASSERT_TRUE(zat_test::make_tcp_pair(link));
        session.conn_fd = link.ours;
    }

    void send(const std::vector<unsigned char> &bytes) { ASSERT_TRUE(zat_test::send_all(link.peer, bytes)); }

    std::string fd_text() const { return std::to_string(link.ours); }
};

// --- header and size checks ------------------------------------------------

struct header_case {
    const char *name;
    unsigned char version;
    uint32_t length;
    bool accepted;
    report_line refusal;  // the one line logged when refused
};

class HeaderChecks : public ReadPacket, public ::testing::WithParamInterface<header_case> {};

TEST_P(HeaderChecks, AcceptOrRefuse)
{
    const header_case &c = GetParam();
    auto bytes = zat_test::packet(c.version, 3, 1, 0x01, c.length);
    send(bytes);
    unsigned char *got = read_packet();
    if (c.accepted) {
        ASSERT_NE(nullptr, got);
        EXPECT_EQ(bytes, std::vector<unsigned char>(got, got + 12 + c.length));
        // The block is exactly header plus body.
        ASSERT_EQ(1u, recording_host::allocations().size());
        EXPECT_EQ(int(12 + c.length), recording_host::allocations()[0]);
        ASSERT_EQ(1u, recording_host::xor_calls().size());
        EXPECT_EQ(got, recording_host::xor_calls()[0].packet);
        EXPECT_EQ(got + 12, recording_host::xor_calls()[0].body);
        EXPECT_EQ(c.version, session.last_version);
        EXPECT_TRUE(reports().empty());
        free(got);
    } else {
        EXPECT_EQ(nullptr, got);
        EXPECT_TRUE(recording_host::allocations().empty()) << "a refused header costs no allocation";
        EXPECT_EQ(zat_test::lines({c.refusal}), reports());
        EXPECT_EQ(0, session.seq_no);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderChecks,
    ::testing::Values(
        header_case{"version_c0", 0xc0, 10, true, {}},
        header_case{"minor_version_c1", 0xc1, 10, true, {}},
        header_case{"minor_version_cf", 0xcf, 10, true, {}},
        header_case{"version_b0", 0xb0, 10, false, {3, "nas1: Illegal major version specified: found 176 wanted 192\n"}},
        header_case{"version_d0", 0xd0, 10, false, {3, "nas1: Illegal major version specified: found 208 wanted 192\n"}},
        header_case{"empty_body", 0xc0, 0, true, {}},
        header_case{"largest_body", 0xc0, 65524, true, {}},
        header_case{"body_one_too_large", 0xc0, 65525, false, {3, "nas1: Illegal data size: 65525\n"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReadPacket, HugeLengthIsRefusedAsUnsigned)
{
    send(zat_test::header(0xc0, 1, 1, 0, 1, 0xffffffffu));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{3, "nas1: Illegal data size: 4294967295\n"}}), reports());
    EXPECT_TRUE(recording_host::allocations().empty());
}

TEST_F(ReadPacket, RefusedHeaderStillLeavesItsFlags)
{
    send(zat_test::packet(0xc1, 1, 1, 0x01, 4));
    unsigned char *first = read_packet();
    ASSERT_NE(nullptr, first);
    free(first);
    EXPECT_EQ(0x01, session.last_hdr_flags);

    send(zat_test::packet(0xb0, 1, 3, 0x05, 4));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(0x05, session.last_hdr_flags);
    EXPECT_EQ(0xc1, session.last_version) << "last_version is that of the last packet returned";
}

// --- sequence numbers ------------------------------------------------------

TEST_F(ReadPacket, SequenceMismatchStillAdvancesSeqNo)
{
    session.last_activity = 0;
    send(zat_test::packet(0xc0, 1, 3, 0x01, 2));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(1, session.seq_no);
    EXPECT_NE(0, session.last_activity);
    send(zat_test::packet(0xc0, 1, 3, 0x01, 2));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(2, session.seq_no);
    EXPECT_EQ(zat_test::lines({{3, "nas1: Illegal session seq #, expecting 1, received 3"},
                                        {3, "nas1: Illegal session seq #, expecting 2, received 3"}}),
              reports());
    EXPECT_TRUE(recording_host::xor_calls().empty()) << "no key work for a refused packet";
}

TEST_F(ReadPacket, NoPacketMatchesOnceSeqNoPassed255)
{
    session.seq_no = 255;
    send(zat_test::packet(0xc0, 1, 0, 0x01, 0));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(256, session.seq_no);
    EXPECT_EQ(zat_test::lines({{3, "nas1: Illegal session seq #, expecting 256, received 0"}}), reports());
}

TEST_F(ReadPacket, OddRequestsFollowEvenReplies)
{
    for (int seq = 1; seq <= 7; seq += 2) {
        send(zat_test::packet(0xc0, 2, static_cast<unsigned char>(seq), 0x01, 3));
        unsigned char *got = read_packet();
        ASSERT_NE(nullptr, got) << "seq " << seq;
        free(got);
        session.seq_no++;  // what a reply builder does
    }
    EXPECT_EQ(8, session.seq_no);
}

// --- key lookup ------------------------------------------------------------

struct key_case {
    const char *name;
    const char *peer_name;
    const char *peer_addr;
    const char *addr_key;
    const char *name_key;
    const char *default_key;
    std::vector<std::string> lookups;
    const char *used;  // null: md5_xor gets a null key
};

class KeyLookup : public ReadPacket, public ::testing::WithParamInterface<key_case> {};

TEST_P(KeyLookup, AddressThenNameThenDefault)
{
    const key_case &c = GetParam();
    session.peer_name = c.peer_name;
    session.peer_addr = c.peer_addr;
    session.default_key = c.default_key;
    if (c.addr_key)
        standin_set_host_key(c.peer_addr, c.addr_key);
    if (c.name_key)
        standin_set_host_key(c.peer_name, c.name_key);

    send(zat_test::packet(0xc0, 1, 1, 0x00, 5));
    unsigned char *got = read_packet();
    ASSERT_NE(nullptr, got);
    free(got);

    std::vector<std::string> seen;
    for (int i = 0; i < standin_key_lookup_count(); i++)
        seen.push_back(standin_key_lookup(i));
    EXPECT_EQ(c.lookups, seen);
    ASSERT_EQ(1u, recording_host::xor_calls().size());
    const auto &call = recording_host::xor_calls()[0];
    EXPECT_EQ(c.used != nullptr, call.has_key);
    EXPECT_EQ(c.used ? c.used : "", call.key);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyLookup,
    ::testing::Values(
        key_case{"address_key_wins", "nas1", "10.0.0.1", "by-addr", "by-name", "dflt", {"10.0.0.1"}, "by-addr"},
        key_case{"name_key_second", "nas1", "10.0.0.1", nullptr, "by-name", "dflt", {"10.0.0.1", "nas1"}, "by-name"},
        key_case{"default_last", "nas1", "10.0.0.1", nullptr, nullptr, "dflt", {"10.0.0.1", "nas1"}, "dflt"},
        key_case{"no_key_at_all", "nas1", "10.0.0.1", nullptr, nullptr, nullptr, {"10.0.0.1", "nas1"}, nullptr},
        key_case{"same_name_and_address_one_lookup", "10.0.0.1", "10.0.0.1", nullptr, nullptr, "dflt",
                 {"10.0.0.1"}, "dflt"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReadPacket, DecryptFailureIsLoggedAndFreed)
{
    recording_host::set_xor_result(-1);
    send(zat_test::packet(0xc0, 1, 1, 0x00, 5));
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{3, "nas1: start_session error decrypting data"}}), reports());
    EXPECT_EQ(1, session.seq_no);
}

TEST_F(ReadPacket, DebugLinesAroundASuccessfulRead)
{
    debug = DEBUG_PACKET_FLAG;
    send(zat_test::packet(0xc0, 3, 1, 0x01, 20));
    unsigned char *got = read_packet();
    ASSERT_NE(nullptr, got);
    std::string summary = summarise_incoming_packet_type(got);
    free(got);
    EXPECT_EQ(zat_test::lines({{7, "Waiting for packet"}, {7, "Read " + summary + " size=32"}}), reports());
}

// --- peers that go away ----------------------------------------------------

TEST_F(ReadPacket, PeerClosesBeforeSending)
{
    use_tcp();
    link.close_peer();
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{7, "nas1 192.0.2.1: fd " + fd_text() + " eof (connection closed)"},
                                        {7, "Read -1 bytes from nas1 192.0.2.1, expecting 12"}}),
              reports());
}

TEST_F(ReadPacket, PeerClosesMidBody)
{
    use_tcp();
    session.last_activity = 12345;
    auto bytes = zat_test::packet(0xc0, 1, 1, 0x01, 40);
    bytes.resize(12 + 17);
    send(bytes);
    link.close_peer();
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{7, "nas1 192.0.2.1: fd " + fd_text() + " eof (connection closed)"},
                                        {3, "nas1: start_session: bad socket read"}}),
              reports());
    EXPECT_EQ(0, session.seq_no);
    EXPECT_EQ(12345, session.last_activity);
}

TEST_F(ReadPacket, HangUpOnAUnixSocketIsAnException)
{
    link.close_peer();
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{7, "nas1: exception on fd " + fd_text()},
                                        {7, "Read -1 bytes from nas1 192.0.2.1, expecting 12"}}),
              reports());
}

// --- sockread with the socket calls replaced -------------------------------

class SockRead : public ReadPacket {
protected:
    void SetUp() override
    {
        ReadPacket::SetUp();
        fake_sys::reset(link.ours);
    }
    int read_into(int count)
    {
        buffer.assign(size_t(count > 0 ? count : 1), 0);
        return zat_packet::sockread(link.ours, buffer.data(), count);
    }
    std::vector<unsigned char> buffer;
};

TEST_F(SockRead, NothingToReadForCountsOfZeroOrLess)
{
    EXPECT_EQ(0, read_into(0));
    EXPECT_EQ(0, read_into(-5));
    EXPECT_EQ(0, fake_sys::poll_calls());
}

TEST_F(SockRead, EveryChunkWaitsOnPollWithTheTimeout)
{
    send({1, 2, 3, 4, 5, 6, 7, 8, 9});
    fake_sys::queue_read(fake_sys::at_most(4));
    fake_sys::queue_read(fake_sys::at_most(4));
    EXPECT_EQ(9, read_into(9));
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 9}), buffer);
    EXPECT_EQ(3, fake_sys::poll_calls());
    EXPECT_EQ(3, fake_sys::read_calls());
    EXPECT_EQ(IO_TIMEOUT_MS, fake_sys::last_poll_timeout());
}

TEST_F(SockRead, SignalsAreAbsorbed)
{
    send({7, 7, 7});
    fake_sys::queue_poll({-1, EINTR, 0});           // poll interrupted: poll again
    fake_sys::queue_read(fake_sys::fail(EINTR));    // read interrupted: read again, no new poll
    EXPECT_EQ(3, read_into(3));
    EXPECT_EQ(2, fake_sys::poll_calls());
    EXPECT_EQ(2, fake_sys::read_calls());
    EXPECT_TRUE(reports().empty());
}

struct failure_case {
    const char *name;
    fake_sys::poll_outcome poll;
    bool fail_read;
    int read_errno;
    std::string message;  // with FD for the descriptor
    int errno_after;      // -1: not promised
};

class SockReadFailure : public SockRead, public ::testing::WithParamInterface<failure_case> {};

TEST_P(SockReadFailure, LogsAndFails)
{
    const failure_case &c = GetParam();
    send({1, 2, 3});
    fake_sys::queue_poll(c.poll);
    if (c.fail_read)
        fake_sys::queue_read(fake_sys::fail(c.read_errno));
    EXPECT_EQ(-1, read_into(3));
    int after = errno;
    std::string expected = c.message;
    size_t at = expected.find("FD");
    if (at != std::string::npos)
        expected.replace(at, 2, fd_text());
    EXPECT_EQ(zat_test::lines({{7, expected}}), reports());
    if (c.errno_after >= 0) {
        EXPECT_EQ(c.errno_after, after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SockReadFailure,
    ::testing::Values(
        failure_case{"timeout", {0, 0, 0}, false, 0, "nas1: timeout reading fd FD", -1},
        failure_case{"poll_error", {-1, EBADF, 0}, false, 0,
                     std::string("nas1: error in poll ") + strerror(EBADF) + " fd FD", EBADF},
        failure_case{"hangup_with_data", {1, 0, POLLIN | POLLHUP}, false, 0, "nas1: exception on fd FD", -1},
        failure_case{"error_event", {1, 0, POLLERR}, false, 0, "nas1: exception on fd FD", -1},
        failure_case{"invalid_fd", {1, 0, POLLNVAL}, false, 0, "nas1: exception on fd FD", -1},
        failure_case{"read_error", {1, 0, POLLIN}, true, ECONNRESET,
                     std::string("nas1 192.0.2.1: error reading fd FD nread=-1 ") + strerror(ECONNRESET), ECONNRESET}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SockRead, ErrnoIsKeptAcrossTheExceptionMessage)
{
    fake_sys::queue_poll({1, 0, POLLERR});
    errno = ENOTCONN;
    EXPECT_EQ(-1, read_into(3));
    EXPECT_EQ(ENOTCONN, errno);
}

TEST_F(SockRead, EndOfFileClearsErrno)
{
    fake_sys::queue_poll({1, 0, POLLIN});
    fake_sys::queue_read(fake_sys::returns(0));
    errno = EIO;
    EXPECT_EQ(-1, read_into(3));
    EXPECT_EQ(0, errno);
    EXPECT_EQ(zat_test::lines({{7, "nas1 192.0.2.1: fd " + fd_text() + " eof (connection closed)"}}),
              reports());
}

TEST_F(SockRead, SpuriousWakeUpIsLoggedAndWaitedOut)
{
    send({5, 6});
    fake_sys::queue_poll({1, 0, 0});
    errno = EAGAIN;
    EXPECT_EQ(2, read_into(2));
    EXPECT_EQ(zat_test::lines({{7, "nas1: spurious return from poll"}}), reports());
    EXPECT_EQ(2, fake_sys::poll_calls());
}

TEST_F(ReadPacket, TimeoutWhileWaitingForTheHeader)
{
    fake_sys::reset(link.ours);
    fake_sys::queue_poll({0, 0, 0});
    EXPECT_EQ(nullptr, read_packet());
    EXPECT_EQ(zat_test::lines({{7, "nas1: timeout reading fd " + fd_text()},
                                        {7, "Read -1 bytes from nas1 192.0.2.1, expecting 12"}}),
              reports());
}

TEST_F(ReadPacket, BodyArrivingOneByteAtATime)
{
    fake_sys::reset(link.ours);
    auto bytes = zat_test::packet(0xc0, 2, 1, 0x01, 6);
    send(bytes);
    for (int i = 0; i < 18; i++)
        fake_sys::queue_read(fake_sys::at_most(1));
    unsigned char *got = read_packet();
    ASSERT_NE(nullptr, got);
    EXPECT_EQ(bytes, std::vector<unsigned char>(got, got + 18));
    free(got);
    EXPECT_EQ(18, fake_sys::read_calls());
    EXPECT_EQ(18, fake_sys::poll_calls());
}

} // namespace
