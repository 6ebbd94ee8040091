// write_packet(): obfuscation call, partial writes, and the failures that
// abandon a packet (a signal included, unlike on the reading side).
#include <errno.h>
#include <poll.h>
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

class WritePacket : public zat_test::PacketLink {
protected:
    std::vector<unsigned char> reply;

    void SetUp() override
    {
        PacketLink::SetUp();
        session.last_activity = 777;
        reply = zat_test::packet(0xc0, 3, 2, 0x01, 30);
        fake_sys::reset(link.ours);
    }

    std::string with_fd(std::string text) const
    {
        size_t at = text.find("FD");
        if (at != std::string::npos)
            text.replace(at, 2, std::to_string(link.ours));
        return text;
    }

    std::vector<unsigned char> received(size_t n)
    {
        std::vector<unsigned char> got;
        EXPECT_TRUE(zat_test::recv_exact(link.peer, got, n, 1000));
        return got;
    }
};

TEST_F(WritePacket, WholePacketGoesOutAndStampsActivity)
{
    session.default_key = "dflt";
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(reply, received(reply.size()));
    EXPECT_NE(777, session.last_activity);
    ASSERT_EQ(1u, recording_host::xor_calls().size());
    EXPECT_EQ(reply.data() + 12, recording_host::xor_calls()[0].body);
    EXPECT_EQ("dflt", recording_host::xor_calls()[0].key);
    EXPECT_EQ(IO_TIMEOUT_MS, fake_sys::last_poll_timeout());
    EXPECT_TRUE(reports().empty());
}

TEST_F(WritePacket, ShortWritesAreFollowedByPollAndTheRest)
{
    fake_sys::queue_write(fake_sys::at_most(5));
    fake_sys::queue_write(fake_sys::at_most(20));
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(reply, received(reply.size()));
    EXPECT_EQ(3, fake_sys::write_calls());
    EXPECT_EQ(3, fake_sys::poll_calls());
    EXPECT_NE(777, session.last_activity);
}

TEST_F(WritePacket, ActivityIsStampedOnlyAfterTheLastByte)
{
    fake_sys::queue_write(fake_sys::at_most(5));
    fake_sys::queue_poll({0, 0, 0});
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(777, session.last_activity);
    EXPECT_EQ(zat_test::lines({{7, with_fd("nas1: timeout writing to fd FD")}}), reports());
}

TEST_F(WritePacket, EncryptFailureSendsNothing)
{
    recording_host::set_xor_result(1);
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(zat_test::lines({{3, "nas1: write_packet: error encrypting data"}}), reports());
    EXPECT_EQ(0, fake_sys::write_calls());
    EXPECT_EQ(0, fake_sys::poll_calls());
    EXPECT_EQ(777, session.last_activity);
}

TEST_F(WritePacket, SpuriousWakeUpIsLoggedAndWaitedOut)
{
    fake_sys::queue_poll({1, 0, 0});
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(reply, received(reply.size()));
    EXPECT_EQ(zat_test::lines({{7, "nas1: spurious return from poll"}}), reports());
    EXPECT_NE(777, session.last_activity);
}

struct write_failure {
    const char *name;
    bool fail_poll;
    fake_sys::poll_outcome poll;
    fake_sys::io_outcome write;
    std::string message;
};

class WriteFailure : public WritePacket, public ::testing::WithParamInterface<write_failure> {};

TEST_P(WriteFailure, AbandonsThePacket)
{
    const write_failure &c = GetParam();
    if (c.fail_poll)
        fake_sys::queue_poll(c.poll);
    else
        fake_sys::queue_write(c.write);
    errno = EPIPE;
    zat_packet::write_packet(reply.data());
    int after = errno;
    EXPECT_EQ(zat_test::lines({{7, with_fd(c.message)}}), reports());
    EXPECT_EQ(777, session.last_activity);
    EXPECT_EQ(1, fake_sys::poll_calls()) << "nothing is retried";
    int expected_errno = EPIPE;  // kept across the message
    if (c.fail_poll && c.poll.result < 0)
        expected_errno = c.poll.error;
    else if (!c.fail_poll && c.write.result < 0)
        expected_errno = c.write.error;
    if (c.fail_poll && c.poll.result > 0)
        expected_errno = after;  // not promised for error events
    EXPECT_EQ(expected_errno, after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteFailure,
    ::testing::Values(
        write_failure{"timeout", true, {0, 0, 0}, {}, "nas1: timeout writing to fd FD"},
        write_failure{"poll_interrupted", true, {-1, EINTR, 0}, {}, "nas1: error in poll fd FD"},
        write_failure{"poll_error", true, {-1, EBADF, 0}, {}, "nas1: error in poll fd FD"},
        write_failure{"hangup", true, {1, 0, POLLOUT | POLLHUP}, {}, "nas1: exception on fd FD"},
        write_failure{"error_event", true, {1, 0, POLLERR}, {}, "nas1: exception on fd FD"},
        write_failure{"write_interrupted", false, {}, fake_sys::fail(EINTR), "nas1: error writing fd FD sent=-1"},
        write_failure{"write_error", false, {}, fake_sys::fail(ECONNRESET), "nas1: error writing fd FD sent=-1"},
        write_failure{"write_returns_zero", false, {}, fake_sys::returns(0), "nas1: error writing fd FD sent=0"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
