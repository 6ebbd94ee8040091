// write_packet(): obfuscation call, partial sends, sends that would block,
// the failures that abandon a packet (a signal included, unlike on the
// reading side), NASes that stop reading, and descriptors that are not
// sockets.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"
#include "tests/packet/packet_util.h"
#include "tests/packet/recording_host.h"
#include "tests/support/fake_clock.h"
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

TEST_F(WritePacket, ShortSendsAreFollowedByPollAndTheRest)
{
    fake_sys::queue_send(fake_sys::at_most(5));
    fake_sys::queue_send(fake_sys::at_most(20));
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(reply, received(reply.size()));
    EXPECT_EQ(3, fake_sys::send_calls());
    EXPECT_EQ(0, fake_sys::write_calls()) << "a socket is sent to, never written";
    EXPECT_EQ(3, fake_sys::poll_calls());
    EXPECT_NE(777, session.last_activity);
}

TEST_F(WritePacket, SendThatWouldBlockWaitsOnPollAgain)
{
    fake_sys::queue_send(fake_sys::fail(EAGAIN));
    fake_sys::queue_send(fake_sys::fail(EWOULDBLOCK));
    fake_sys::queue_send(fake_sys::at_most(7));
    zat_packet::write_packet(reply.data());
    EXPECT_EQ(reply, received(reply.size()));
    EXPECT_EQ(4, fake_sys::send_calls());
    EXPECT_EQ(4, fake_sys::poll_calls()) << "every attempt after its own poll";
    EXPECT_TRUE(reports().empty());
    EXPECT_NE(777, session.last_activity);
}

// A socket that poll calls writable but that takes nothing, time after time,
// gives up at the same time-out as a poll that waits: the time since the
// last byte went out is at most IO_TIMEOUT_MS.
TEST_F(WritePacket, SendThatKeepsWouldBlockingEndsAtTheTimeOut)
{
    for (int i = 0; i < 10; i++) {
        fake_sys::queue_poll({1, 0, POLLOUT});
        fake_sys::queue_send(fake_sys::fail(EAGAIN));
    }
    fake_clock::freeze();
    fake_clock::polls_take(std::vector<int>(10, 100000));  // every poll "lasts" 100 s
    errno = 0;
    zat_packet::write_packet(reply.data());
    fake_clock::real();
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(zat_test::lines({{7, with_fd("nas1: timeout writing to fd FD")}}), reports());
    EXPECT_EQ(3, fake_sys::send_calls()) << "at 0 s, 100 s, then 200 s: over the 180 s";
    EXPECT_EQ(777, session.last_activity);
}

// Without a clock that wait could not be bounded: the reply is given up at
// the first send that finds no room.
TEST_F(WritePacket, SendThatWouldBlockWithoutAClockEndsAtOnce)
{
    for (int i = 0; i < 3; i++) {
        fake_sys::queue_poll({1, 0, POLLOUT});
        fake_sys::queue_send(fake_sys::fail(EAGAIN));
    }
    fake_clock::fail();
    zat_packet::write_packet(reply.data());
    fake_clock::real();
    EXPECT_EQ(zat_test::lines({{7, with_fd("nas1: timeout writing to fd FD")}}), reports());
    EXPECT_EQ(1, fake_sys::send_calls());
    EXPECT_EQ(777, session.last_activity);
}

TEST_F(WritePacket, ActivityIsStampedOnlyAfterTheLastByte)
{
    fake_sys::queue_send(fake_sys::at_most(5));
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
    EXPECT_EQ(0, fake_sys::send_calls());
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
    fake_sys::io_outcome send;
    std::string message;
};

class WriteFailure : public WritePacket, public ::testing::WithParamInterface<write_failure> {};

TEST_P(WriteFailure, AbandonsThePacket)
{
    const write_failure &c = GetParam();
    if (c.fail_poll)
        fake_sys::queue_poll(c.poll);
    else
        fake_sys::queue_send(c.send);
    errno = EPIPE;
    zat_packet::write_packet(reply.data());
    int after = errno;
    EXPECT_EQ(zat_test::lines({{7, with_fd(c.message)}}), reports());
    EXPECT_EQ(777, session.last_activity);
    EXPECT_EQ(1, fake_sys::poll_calls()) << "nothing is retried";
    int expected_errno = EPIPE;  // kept across the message
    if (c.fail_poll && c.poll.result < 0)
        expected_errno = c.poll.error;
    else if (!c.fail_poll && c.send.result < 0)
        expected_errno = c.send.error;
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
        write_failure{"send_interrupted", false, {}, fake_sys::fail(EINTR), "nas1: error writing fd FD sent=-1"},
        write_failure{"send_error", false, {}, fake_sys::fail(ECONNRESET), "nas1: error writing fd FD sent=-1"},
        write_failure{"send_broken_pipe", false, {}, fake_sys::fail(EPIPE), "nas1: error writing fd FD sent=-1"},
        write_failure{"send_returns_zero", false, {}, fake_sys::returns(0), "nas1: error writing fd FD sent=0"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- peers that stop reading -------------------------------------------------

// Runs write_packet() on a thread of its own and gives it 10 s to return.
// A call still blocked then has the far end of its descriptor closed under
// it (with SIGPIPE ignored), which ends any blocked write, so that a
// regression fails here instead of hanging the suite.
bool returns_in_time(unsigned char *packet, zat_test::socket_pair &link)
{
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    auto call = std::async(std::launch::async, [packet] { zat_packet::write_packet(packet); });
    bool in_time = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!in_time)
        link.close_peer();
    call.get();
    sigaction(SIGPIPE, &before, nullptr);
    return in_time;
}

class StalledPeer : public zat_test::HostFixture {
protected:
    zat_test::socket_pair link;
    std::vector<unsigned char> reply = zat_test::packet(0xc0, 3, 2, 0x01, 65536 - 12);

    void SetUp() override
    {
        HostFixture::SetUp();
        recording_host::reset();
        session.last_activity = 777;
    }

    // The daemon's end is watched; its real polls wait at most 50 ms.
    void watch(int fd)
    {
        session.conn_fd = fd;
        fake_sys::reset(fd);
        fake_sys::cap_poll_timeout(50);
    }

    std::string timeout_line() const
    {
        return "nas1: timeout writing to fd " + std::to_string(link.ours);
    }
};

// A NAS on loopback TCP that takes about 4 KB and then never reads again,
// while a 64 KB reply goes out: the send stops at the poll time-out, exactly
// as a NAS that said nothing at all would.
TEST_F(StalledPeer, NasThatNeverReadsGetsTheTimeOutNotABlockedDaemon)
{
    ASSERT_TRUE(zat_test::make_tcp_pair(link, 4096));
    int small = 4096;
    ASSERT_EQ(0, setsockopt(link.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
    watch(link.ours);
    ASSERT_TRUE(returns_in_time(reply.data(), link)) << "write_packet blocked";
    EXPECT_EQ(zat_test::lines({{7, timeout_line()}}), reports());
    EXPECT_EQ(IO_TIMEOUT_MS, fake_sys::last_poll_timeout()) << "the module itself still waits 180 s";
    EXPECT_GE(fake_sys::send_calls(), 1);
    EXPECT_EQ(777, session.last_activity);
}

// A NAS that shut its reading side: the send fails with EPIPE and is logged,
// and the process is not killed by SIGPIPE, even with the signal's default
// action in force.
TEST_F(StalledPeer, NasThatStoppedReadingRaisesNoSigpipe)
{
    ASSERT_TRUE(zat_test::make_unix_pair(link));
    ASSERT_EQ(0, shutdown(link.peer, SHUT_RD));
    watch(link.ours);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        zat_packet::write_packet(reply.data());
        int error = errno;
        bool logged = reports() == zat_test::lines({{7, "nas1: error writing fd " + std::to_string(link.ours) +
                                                               " sent=-1"}});
        _exit(logged && error == EPIPE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wrong log line or errno";
}

// --- descriptors that are not sockets ----------------------------------------

// A pipe (a daemon run on standard input and output, say) cannot be sent
// to: it is written in pieces of at most PIPE_BUF bytes, each after a poll
// that found room, which a pipe takes whole without waiting.
TEST_F(StalledPeer, PipeIsWrittenInPiecesThatNeverWait)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    link.peer = fds[0];
    link.ours = fds[1];
    watch(link.ours);
    std::vector<unsigned char> packet = zat_test::packet(0xc0, 3, 2, 0x01, 2 * PIPE_BUF + 100 - 12);
    zat_packet::write_packet(packet.data());
    std::vector<unsigned char> got;
    EXPECT_TRUE(zat_test::recv_exact(link.peer, got, packet.size()));
    EXPECT_EQ(packet, got);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(3, fake_sys::write_calls());
    EXPECT_EQ(3, fake_sys::poll_calls());
    EXPECT_EQ(1, fake_sys::send_calls()) << "tried once, ENOTSOCK";
    EXPECT_NE(777, session.last_activity);
}

TEST_F(StalledPeer, PipeThatIsNeverReadGetsTheTimeOut)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    link.peer = fds[0];
    link.ours = fds[1];
    ASSERT_GE(fcntl(link.ours, F_SETPIPE_SZ, 4096), 4096);
    watch(link.ours);
    ASSERT_TRUE(returns_in_time(reply.data(), link)) << "write_packet blocked";
    EXPECT_EQ(zat_test::lines({{7, timeout_line()}}), reports());
    EXPECT_EQ(777, session.last_activity);
}

} // namespace
