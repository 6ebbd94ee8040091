// The finger check against real finger services on port 79 of loopback
// addresses in a private network namespace, polite and rude ones.  poll() is
// replaced where a test needs a fault without waiting for one; getaddrinfo()
// where a name must fail to resolve or resolve to a chosen address list; the
// test thread's monotonic clock where a query's time budget must pass
// faster than real time or not at all.
#include <errno.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "daemon/velor/finger.h"
#include "daemon/velor/velor.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_sys.h"
#include "tests/velor_count/support.h"

namespace {

using velor_test::entry;
using velor_test::FingerServer;
using velor_test::listing_heading;
using velor_test::serve;
using velor_test::SilentAddress;
using velor_test::session_line;
using zat_test::report_line;

class Finger : public velor_test::NetFixture {
protected:
    void TearDown() override
    {
        fake_clock::real();
        velor_test::NetFixture::TearDown();
    }
    int query(const char *nas, const char *user = "joe", const char *port = "tty4", const char *caller = "nas0")
    {
        user_ident id = {user, caller, port, ""};
        return zat_velor::ckfinger(nas, &id);
    }
};

// Expected lines with "FD" standing for the finger socket's number.
std::vector<report_line> with_fd(std::vector<report_line> lines, int fd)
{
    for (auto &line : lines) {
        size_t at = line.second.find("FD");
        if (at != std::string::npos)
            line.second.replace(at, 2, std::to_string(fd));
    }
    return lines;
}

const std::string joe_listing =
    listing_heading() + session_line(1, "joe") + session_line(2, "ann") + session_line(3, "joe");

TEST_F(Finger, ListingThenCloseIsCountedAfterTheQueryLine)
{
    FingerServer nas("127.0.0.2", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    write_entries({{"joe", "127.0.0.2", "7", ""}, {"ann", "127.0.0.3", "1", ""}});
    user_ident id = {"joe", "nas0", "tty4", ""};

    EXPECT_EQ(2, countusers_by_finger(&id));
    EXPECT_TRUE(zat_test::reports().empty());
    EXPECT_EQ(std::vector<std::string>{"\r\n"}, nas.queries()) << "the query for all users";
    auto lookups = fake_net::lookups();
    ASSERT_EQ(1u, lookups.size());
    EXPECT_EQ("127.0.0.2", lookups[0].node);
    EXPECT_EQ("finger", lookups[0].service);
    EXPECT_EQ(AF_UNSPEC, lookups[0].family);
    EXPECT_EQ(SOCK_STREAM, lookups[0].socktype);
    EXPECT_EQ(0, lookups[0].protocol);
    EXPECT_EQ(0, lookups[0].flags);
}

TEST_F(Finger, ListingFollowedByAResetIsCountedEveryTime)
{
    // The service writes its listing and closes without reading our query
    // line; the unread line makes its kernel reset the connection, so the
    // listing arrives together with the error and hang-up events.
    FingerServer nas("127.0.0.2", serve::listing_then_reset, joe_listing);
    ASSERT_TRUE(nas.ok());
    const int runs = 12;
    std::vector<int> counts;
    for (int i = 0; i < runs; i++)
        counts.push_back(query("127.0.0.2"));
    EXPECT_EQ(std::vector<int>(runs, 2), counts);
    EXPECT_EQ(std::vector<report_line>{}, zat_test::reports());
    EXPECT_EQ(runs, nas.connections());
}

TEST_F(Finger, RefusedConnection)
{
    errno = 0;
    EXPECT_EQ(0, query("127.0.0.9"));
    EXPECT_EQ(ECONNREFUSED, errno) << "the cause stays in errno";
    EXPECT_EQ((std::vector<report_line>{{3, "ckfinger: connect 127.0.0.9: Connection refused"}}),
              zat_test::reports());
}

TEST_F(Finger, UnresolvableNasCountsNothingAndTheNextIsAsked)
{
    FingerServer nas("127.0.0.3", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    fake_net::fail_resolve("nas.invalid", EAI_NONAME);
    write_entries({{"joe", "nas.invalid", "1", ""}, {"joe", "127.0.0.3", "2", ""}});
    user_ident id = {"joe", "nas0", "tty4", ""};

    EXPECT_EQ(2, countusers_by_finger(&id));
    EXPECT_EQ((std::vector<report_line>{
                  {3, std::string("ckfinger: getaddrinfo nas.invalid failure: ") + gai_strerror(EAI_NONAME)}}),
              zat_test::reports());
    EXPECT_EQ(1, nas.connections());
}

// Address lists handed to the connecting step, and what becomes of them.
struct walk_case {
    const char *name;
    std::vector<fake_net::address> list;
    int expected;                    // count from the listing of 127.0.0.2
    std::vector<report_line> lines;  // messages
};

void PrintTo(const walk_case &c, std::ostream *os) { *os << c.name; }

const int bad_family = AF_MAX + 7;

class AddressWalk : public Finger, public ::testing::WithParamInterface<walk_case> {};

TEST_P(AddressWalk, TriesEachAddressInTurn)
{
    // The kernel itself refuses the family and the protocol used below.
    int s = socket(bad_family, SOCK_STREAM, 0);
    ASSERT_EQ(-1, s);
    ASSERT_EQ(EAFNOSUPPORT, errno);
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_UDP);
    ASSERT_EQ(-1, s);
    ASSERT_EQ(EPROTONOSUPPORT, errno);

    const walk_case &c = GetParam();
    FingerServer nas("127.0.0.2", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    fake_net::resolve("nas.example", c.list);

    EXPECT_EQ(c.expected, query("nas.example"));
    EXPECT_EQ(c.lines, zat_test::reports());
    EXPECT_EQ(c.expected ? 1 : 0, nas.connections());
    EXPECT_EQ(0, fake_net::lists_outstanding()) << "the address list is freed";
}

const fake_net::address good = {AF_INET, SOCK_STREAM, 0, "127.0.0.2"};
const fake_net::address refused = {AF_INET, SOCK_STREAM, 0, "127.0.0.9"};

const walk_case walk_cases[] = {
    {"UnsupportedFamilyFirst", {{bad_family, SOCK_STREAM, 0, "127.0.0.2"}, good}, 2, {}},
    {"UnsupportedProtocolFirst", {{AF_INET, SOCK_STREAM, IPPROTO_UDP, "127.0.0.2"}, good}, 2, {}},
    {"RefusedFirstThenConnected", {refused, good}, 2, {}},
    {"OnlyUnsupportedFamily",
     {{bad_family, SOCK_STREAM, 0, "127.0.0.2"}},
     0,
     {{3, std::string("ckfinger: socket: ") + strerror(EAFNOSUPPORT)}}},
    {"OtherSocketFailureEndsTheWalk",
     {{AF_INET, 12345, 0, "127.0.0.2"}, good},
     0,
     {{3, std::string("ckfinger: socket: ") + strerror(EINVAL)}}},
    {"UnsupportedThenRefused",
     {{bad_family, SOCK_STREAM, 0, "127.0.0.2"}, refused},
     0,
     {{3, "ckfinger: connect nas.example: Connection refused"}}},
};

INSTANTIATE_TEST_SUITE_P(Table, AddressWalk, ::testing::ValuesIn(walk_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Finger, EmptyAddressListIsASocketFailure)
{
    fake_net::resolve("nas.example", {});
    EXPECT_EQ(0, query("nas.example"));
    auto lines = zat_test::reports();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(3, lines[0].first);
    EXPECT_EQ(0u, lines[0].second.rfind("ckfinger: socket: ", 0)) << lines[0].second;
}

TEST_F(Finger, EachNasOnceInFileOrder)
{
    FingerServer a("127.0.0.2", serve::listing_then_close, joe_listing);
    FingerServer b("127.0.0.3", serve::listing_then_close, listing_heading() + session_line(9, "joe"));
    FingerServer c("127.0.0.4", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    write_entries({{"joe", "127.0.0.2", "1", ""},
                   {"joe", "127.0.0.2", "2", ""},
                   {"ann", "127.0.0.4", "1", ""},
                   {"joe", "127.0.0.3", "1", ""},
                   {"joe", "127.0.0.2", "3", ""}});
    user_ident id = {"joe", "nas0", "tty4", ""};

    EXPECT_EQ(3, countusers_by_finger(&id));
    EXPECT_EQ((std::vector<std::string>{"127.0.0.2", "127.0.0.3"}), velor_test::accept_order());
    EXPECT_EQ(0, c.connections()) << "a NAS without the user's entries is not asked";
}

TEST_F(Finger, FailedNasIsNotAskedAgain)
{
    write_entries({{"joe", "127.0.0.9", "1", ""}, {"joe", "127.0.0.9", "2", ""}});
    user_ident id = {"joe", "nas0", "tty4", ""};
    EXPECT_EQ(0, countusers_by_finger(&id));
    EXPECT_EQ(1u, fake_net::lookups().size());
    EXPECT_EQ((std::vector<report_line>{{3, "ckfinger: connect 127.0.0.9: Connection refused"}}),
              zat_test::reports());
}

TEST_F(Finger, DebugMessagesWithSingularAndPlural)
{
    FingerServer one("127.0.0.2", serve::listing_then_close, listing_heading() + session_line(1, "joe"));
    FingerServer two("127.0.0.3", serve::listing_then_close, joe_listing);
    FingerServer none("127.0.0.4", serve::listing_then_close, listing_heading() + session_line(1, "ann"));
    ASSERT_TRUE(one.ok() && two.ok() && none.ok());
    write_entries({{"joe", "127.0.0.2", "1", ""}, {"joe", "127.0.0.3", "1", ""}, {"joe", "127.0.0.4", "1", ""}});
    user_ident id = {"joe", "nas0", "Async4", ""};
    debug = DEBUG_LIMIT_FLAG;

    EXPECT_EQ(3, countusers_by_finger(&id));
    EXPECT_EQ((std::vector<report_line>{
                  {7, "Running finger on 127.0.0.2 for user joe/Async4"},
                  {7, "joe matches: " + session_line(1, "joe")},
                  {7, "finger reports 1 active session for joe on 127.0.0.2"},
                  {7, "Running finger on 127.0.0.3 for user joe/Async4"},
                  {7, "joe matches: " + session_line(1, "joe")},
                  {7, "joe matches: " + session_line(3, "joe")},
                  {7, "finger reports 2 active sessions for joe on 127.0.0.3"},
                  {7, "Running finger on 127.0.0.4 for user joe/Async4"},
                  {7, "finger reports 0 active sessions for joe on 127.0.0.4"},
              }),
              zat_test::reports());
}

TEST_F(Finger, OwnSessionDiscountedOnlyOnTheCallersNas)
{
    std::string listing = listing_heading() + session_line(4, "joe") + session_line(5, "joe");
    FingerServer own("127.0.0.2", serve::listing_then_close, listing);
    FingerServer other("127.0.0.3", serve::listing_then_close, listing);
    ASSERT_TRUE(own.ok() && other.ok());
    write_entries({{"joe", "127.0.0.2", "4", ""}, {"joe", "127.0.0.3", "4", ""}});
    user_ident id = {"joe", "127.0.0.2", "tty4", ""};
    EXPECT_EQ(3, countusers_by_finger(&id));
}

TEST_F(Finger, LongUserFindsItsEntriesAndLongNasItsOwnSession)
{
    const std::string long_user(70, 'u');
    const std::string long_nas = "nas-" + std::string(36, 'n');
    const std::string stored_nas = long_nas.substr(0, 31);
    std::string listing = listing_heading() + session_line(4, "joe") + session_line(5, "joe");
    FingerServer nas("127.0.0.2", serve::listing_then_close, listing);
    ASSERT_TRUE(nas.ok());
    fake_net::resolve(stored_nas, {{AF_INET, SOCK_STREAM, 0, "127.0.0.2"}});
    write_entries({{long_user, long_nas, "4", ""}, {"joe", long_nas, "4", ""}});

    debug = DEBUG_LIMIT_FLAG;
    user_ident someone = {long_user.c_str(), "nas0", "tty4", ""};
    EXPECT_EQ(0, countusers_by_finger(&someone)) << "no listing shows a name of 70 characters";
    EXPECT_EQ(1, nas.connections()) << "but the user's NAS is asked";
    zat_test::clear_reports();

    user_ident joe = {"joe", long_nas.c_str(), "tty4", ""};
    EXPECT_EQ(1, countusers_by_finger(&joe));
    EXPECT_EQ((std::vector<report_line>{
                  {7, "Running finger on " + stored_nas + " for user joe/tty4"},
                  {7, "joe session on " + long_nas + "/tty4 discounted"},
                  {7, "joe matches: " + session_line(5, "joe")},
                  {7, "finger reports 1 active session for joe on " + stored_nas},
              }),
              zat_test::reports());
}

TEST_F(Finger, FailedQuerySendIsLoggedAndTheListingStillRead)
{
    FingerServer nas("127.0.0.2", serve::listing_without_query, joe_listing);
    ASSERT_TRUE(nas.ok());
    fake_sys::reset(velor_test::next_fd());
    fake_sys::queue_send(fake_sys::fail(EPIPE));
    EXPECT_EQ(2, query("127.0.0.2"));
    EXPECT_EQ(1, fake_sys::send_calls());
    EXPECT_EQ((std::vector<report_line>{{3, "ckfinger: send 127.0.0.2: Broken pipe"}}), zat_test::reports());
}

// Outcomes of poll() and read() on the finger socket, once connected and
// with the listing there.  The test thread's clock stands still, so every
// poll is asked to wait exactly what is left of the budget.
struct wait_case {
    const char *name;
    std::vector<fake_sys::poll_outcome> polls;
    std::vector<fake_sys::io_outcome> reads;
    int expected;
    std::vector<report_line> lines; // "FD" stands for the socket's number
    int left = zat_velor::FINGER_TIMEOUT_MS; // of the budget when the reading starts
};

void PrintTo(const wait_case &c, std::ostream *os) { *os << c.name; }

class Waits : public Finger, public ::testing::WithParamInterface<wait_case> {};

// Our end of a finger connection as the connect leaves it (non-blocking,
// query sent), once the service's answer has arrived; -1 on failure.
int connected_with_listing(const char *ip)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(79);
    inet_pton(AF_INET, ip, &sin.sin_addr);
    struct pollfd p = {fd, POLLIN, 0};
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 ||
        send(fd, "\r\n", 2, MSG_NOSIGNAL) != 2 || poll(&p, 1, 5000) != 1 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ADD_FAILURE() << "connection to " << ip << ": " << strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

TEST_P(Waits, EndTheReadingAsTheyShould)
{
    const wait_case &c = GetParam();
    FingerServer nas("127.0.0.2", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    int fd = connected_with_listing("127.0.0.2");
    ASSERT_GE(fd, 0);
    fake_sys::reset(fd);
    for (const auto &p : c.polls)
        fake_sys::queue_poll(p);
    for (const auto &r : c.reads)
        fake_sys::queue_read(r);
    fake_clock::freeze();
    user_ident id = {"joe", "nas0", "tty4", ""};

    EXPECT_EQ(c.expected, zat_velor::finger_receive(fd, "127.0.0.2", &id, "4", fake_clock::now_ms() + c.left));
    if (c.left > 0) {
        EXPECT_GT(fake_sys::poll_calls(), 0) << "the finger socket was watched";
    } else {
        EXPECT_EQ(0, fake_sys::poll_calls()) << "no time left to wait";
    }
    for (int timeout : fake_clock::poll_timeouts())
        EXPECT_EQ(c.left, timeout) << "each wait is what is left of the budget";
    EXPECT_EQ(with_fd(c.lines, fd), zat_test::reports());
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "the socket is closed";
}

const size_t first_two = listing_heading().size() + session_line(1, "joe").size();
const std::string read_error = "nas1 192.0.2.1: error reading fd FD nread=-1 ";

const wait_case wait_cases[] = {
    {"InterruptedPollIsRepeated", {{-1, EINTR, 0}}, {}, 2, {}},
    {"FailedPoll", {{-1, ENOMEM, 0}}, {}, 0,
     {{7, std::string("nas1: error in poll ") + strerror(ENOMEM) + " fd FD"}, {3, "ckfinger: finger failure"}}},
    {"HangUpWithReadableDataIsRead", {{1, 0, POLLIN | POLLHUP}}, {}, 2, {}},
    {"ErrorEvent", {{1, 0, POLLERR}}, {}, 0, {{7, "nas1: exception on fd FD"}, {3, "ckfinger: finger failure"}}},
    {"InvalidEvent", {{1, 0, POLLNVAL}}, {}, 0, {{7, "nas1: exception on fd FD"}, {3, "ckfinger: finger failure"}}},
    {"ErrorEventAfterPartOfTheListing",
     {{1, 0, POLLIN}, {1, 0, POLLERR | POLLHUP}},
     {fake_sys::at_most(static_cast<int>(first_two))},
     1,
     {{7, "nas1: exception on fd FD"}}},
    {"SpuriousReturn", {{1, 0, 0}}, {}, 2, {{7, "nas1: spurious return from poll"}}},
    {"InterruptedReadIsRepeated", {}, {fake_sys::fail(EINTR)}, 2, {}},
    {"NothingToReadYetMeansPollAgain", {{1, 0, POLLIN}}, {fake_sys::fail(EAGAIN)}, 2, {}},
    {"FailedRead", {}, {fake_sys::fail(ECONNRESET)}, 0,
     {{7, read_error + strerror(ECONNRESET)}, {3, "ckfinger: finger failure"}}},
    {"ResetAfterPartOfTheListingEndsIt",
     {},
     {fake_sys::at_most(static_cast<int>(first_two)), fake_sys::fail(ECONNRESET)},
     1,
     {}},
    {"PartOfAListingBeforeAFailureIsCounted",
     {},
     {fake_sys::at_most(static_cast<int>(first_two)), fake_sys::fail(EIO)},
     1,
     {{7, read_error + strerror(EIO)}}},
    {"PartOfAListingBeforeATimeOutIsCounted",
     {{1, 0, POLLIN}, {0, 0, 0}},
     {fake_sys::at_most(static_cast<int>(first_two))},
     1,
     {{7, "nas1: timeout reading fd FD"}}},
    {"ListingInSmallPieces",
     {},
     {fake_sys::at_most(5), fake_sys::at_most(60), fake_sys::at_most(1), fake_sys::at_most(100)},
     2,
     {}},
    {"WaitsOnlyWhatIsLeft", {{0, 0, 0}}, {}, 0,
     {{7, "nas1: timeout reading fd FD"}, {3, "ckfinger: finger failure"}}, 2500},
    {"NoTimeLeft", {}, {}, 0, {{7, "nas1: timeout reading fd FD"}, {3, "ckfinger: finger failure"}}, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, Waits, ::testing::ValuesIn(wait_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Finger, LongListingGrowsTheBuffer)
{
    std::string listing = listing_heading();
    for (int i = 0; i < 3000; i++)
        listing += session_line(i % 900 + 10, i % 3 ? "ann" : "joe");
    ASSERT_GT(listing.size(), 100000u);
    FingerServer nas("127.0.0.2", serve::listing_then_close, listing);
    ASSERT_TRUE(nas.ok());
    EXPECT_EQ(1000, query("127.0.0.2"));
    EXPECT_TRUE(zat_test::reports().empty());
}

TEST_F(Finger, ListingStopsAtOneMebibyte)
{
    // 64-byte lines: the first MiB holds both headings and 16383 sessions.
    std::string line = session_line(7, "joe");
    line.insert(line.size() - 1, std::string(64 - line.size(), ' '));
    ASSERT_EQ(64u, line.size());
    std::string heading = std::string(31, '-') + "\n";
    std::string listing = heading + heading;
    while (listing.size() < 2u * zat_velor::FINGER_MAX_LISTING)
        listing += line;
    FingerServer nas("127.0.0.2", serve::listing_then_close, listing);
    ASSERT_TRUE(nas.ok());

    EXPECT_EQ((zat_velor::FINGER_MAX_LISTING - 64) / 64, query("127.0.0.2"));
    EXPECT_EQ((std::vector<report_line>{{3, "ckfinger: listing from 127.0.0.2 cut at 1048576 bytes"}}),
              zat_test::reports());
}

// A listing of exactly the limit, and one byte over it, then the close.
struct limit_case {
    const char *name;
    std::string tail;                // after exactly FINGER_MAX_LISTING bytes
    std::vector<report_line> lines;
};

void PrintTo(const limit_case &c, std::ostream *os) { *os << c.name; }

class ListingLimit : public Finger, public ::testing::WithParamInterface<limit_case> {};

TEST_P(ListingLimit, OnlyMoreThanTheLimitIsCut)
{
    // Two headings of 32 bytes and 16383 sessions of 64 bytes: 1 MiB.
    std::string line = session_line(7, "joe");
    line.insert(line.size() - 1, std::string(64 - line.size(), ' '));
    std::string heading = std::string(31, '-') + "\n";
    std::string listing = heading + heading;
    while (listing.size() < static_cast<size_t>(zat_velor::FINGER_MAX_LISTING))
        listing += line;
    ASSERT_EQ(static_cast<size_t>(zat_velor::FINGER_MAX_LISTING), listing.size());
    FingerServer nas("127.0.0.2", serve::listing_then_close, listing + GetParam().tail);
    ASSERT_TRUE(nas.ok());

    EXPECT_EQ(16383, query("127.0.0.2"));
    EXPECT_EQ(GetParam().lines, zat_test::reports());
}

const limit_case limit_cases[] = {
    {"ExactlyTheLimit", "", {}},
    {"OneByteMore", "x", {{3, "ckfinger: listing from 127.0.0.2 cut at 1048576 bytes"}}},
};

INSTANTIATE_TEST_SUITE_P(Table, ListingLimit, ::testing::ValuesIn(limit_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The lock of the who-log as another process sees it: 1 when held by
// someone else, 0 when it could be taken, 2 on any other outcome.
int probe_lock(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDWR);
        struct flock lock;
        memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0)
            _exit(2);
        if (fcntl(fd, F_SETLK, &lock) == 0)
            _exit(0);
        _exit(errno == EAGAIN || errno == EACCES ? 1 : 2);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 3;
    return WEXITSTATUS(status);
}

TEST_F(Finger, WhologStaysLockedThroughTheQueries)
{
    FingerServer first("127.0.0.2", serve::listing_then_close, joe_listing);
    FingerServer second("127.0.0.3", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(first.ok() && second.ok());
    write_entries({{"joe", "127.0.0.2", "1", ""}, {"joe", "127.0.0.3", "1", ""}});
    std::string file = path();
    std::vector<int> during;
    std::mutex m;
    // While each NAS holds back its answer, another process tries the lock.
    auto probe = [&] {
        int r = probe_lock(file);
        std::lock_guard<std::mutex> g(m);
        during.push_back(r);
    };
    first.on_query = probe;
    second.on_query = probe;

    ASSERT_EQ(0, probe_lock(file)) << "free before the count";
    user_ident id = {"joe", "nas0", "tty4", ""};
    EXPECT_EQ(4, countusers_by_finger(&id));
    EXPECT_EQ((std::vector<int>{1, 1}), during) << "held while each NAS was being asked";
    EXPECT_EQ(0, probe_lock(file)) << "released when the count returned";
}

// Whether /proc/locks shows process pid waiting for a lock.
bool waits_for_lock(pid_t pid)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    std::string needle = std::string(" ").append(std::to_string(pid)).append(" ");
    while (std::getline(locks, line))
        if (line.find("->") != std::string::npos && line.find(needle) != std::string::npos)
            return true;
    return false;
}

// A second daemon process that records an accounting START through
// loguser() once started, and reports how long that call took, in real ms.
// It is forked before the count, while the test's other threads are idle:
// a fork while another thread holds an allocator lock would leave the lock
// held, for ever, in the child.
struct other_process {
    pid_t pid = -1;
    int go[2] = {-1, -1};
    int done[2] = {-1, -1};

    bool spawn()
    {
        if (pipe(go) != 0 || pipe(done) != 0)
            return false;
        pid = fork();
        if (pid != 0)
            return pid > 0;
        fake_clock::real();
        // Keep none of the test's sockets open, the finger connection least
        // of all: the NAS's close must reach the counting process.
        for (int fd = 3; fd < 1024; fd++)
            if (fd != go[0] && fd != done[1])
                close(fd);
        struct pollfd p = {go[0], POLLIN, 0};
        char c;
        if (poll(&p, 1, 10000) != 1 || read(go[0], &c, 1) != 1)
            _exit(2);
        user_ident who = {"ann", "127.0.0.9", "tty3", ""};
        acct_record rec = {ACCT_KIND_START, &who, 0, nullptr};
        long long begin = fake_clock::real_now_ms();
        loguser(&rec);
        long long waited = fake_clock::real_now_ms() - begin;
        _exit(write(done[1], &waited, sizeof waited) == sizeof waited ? 0 : 1);
    }
    void start() { (void)!write(go[1], "g", 1); }
    // Its report, once it has one (5 s at most); -1 on any failure.
    long long finish()
    {
        long long waited = -1;
        struct pollfd p = {done[0], POLLIN, 0};
        if (poll(&p, 1, 5000) != 1 || read(done[0], &waited, sizeof waited) != sizeof waited)
            waited = -1;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            waited = -1;
        pid = -1;
        return waited;
    }
    ~other_process()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {go[0], go[1], done[0], done[1]})
            if (fd >= 0)
                close(fd);
    }
};

std::string wholog_contents(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

TEST_F(Finger, AnotherProcessesAccountingWaitsForTheQueries)
{
    FingerServer nas("127.0.0.2", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    write_entries({{"joe", "127.0.0.2", "1", ""}});
    other_process writer;
    ASSERT_TRUE(writer.spawn());
    bool writer_was_waiting = false;
    // While the NAS holds back its listing, the second process records an
    // accounting START: its loguser() must block on the who-log lock.
    nas.on_query = [&] {
        writer.start();
        for (int i = 0; i < 500 && !writer_was_waiting; i++) {
            writer_was_waiting = waits_for_lock(writer.pid);
            if (!writer_was_waiting)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    user_ident id = {"joe", "nas0", "tty4", ""};
    EXPECT_EQ(2, countusers_by_finger(&id));
    EXPECT_TRUE(writer_was_waiting) << "loguser() in the other process was blocked on the lock";
    EXPECT_GE(writer.finish(), 0) << "and finished once the count let go";
    EXPECT_EQ(2u * 192u, wholog_contents(path()).size()) << "the START was written once the count let go";
}

// The connect's wait and the reading share one budget.  The clock of the
// test's thread stands still except where a case moves it: polls_take()
// makes the connect's poll "last" that long.  Polls on the finger socket are
// scripted from the first one, the connect's wait.
struct budget_case {
    const char *name;
    std::vector<fake_sys::poll_outcome> polls;
    std::vector<int> takes;          // ms that each poll lasts, in turn
    bool broken_clock;
    int expected;
    std::vector<int> timeouts;       // the first poll time-outs asked for
    std::vector<report_line> lines;  // "FD" stands for the socket's number
    int error;                       // errno after the query, 0: not checked
};

void PrintTo(const budget_case &c, std::ostream *os) { *os << c.name; }

class Budget : public Finger, public ::testing::WithParamInterface<budget_case> {};

TEST_P(Budget, SpansTheConnectAndTheReading)
{
    const budget_case &c = GetParam();
    FingerServer nas("127.0.0.2", serve::listing_then_close, joe_listing);
    ASSERT_TRUE(nas.ok());
    int fd = velor_test::next_fd();
    fake_sys::reset(fd);
    for (const auto &p : c.polls)
        fake_sys::queue_poll(p);
    if (c.broken_clock)
        fake_clock::fail();
    else
        fake_clock::freeze();
    fake_clock::polls_take(c.takes);

    errno = 0;
    EXPECT_EQ(c.expected, query("127.0.0.2"));
    int error = errno;
    if (c.error) {
        EXPECT_EQ(c.error, error) << strerror(error);
    }
    std::vector<int> timeouts = fake_clock::poll_timeouts();
    if (timeouts.size() > c.timeouts.size())
        timeouts.resize(c.timeouts.size());
    EXPECT_EQ(c.timeouts, timeouts);
    EXPECT_EQ(with_fd(c.lines, fd), zat_test::reports());
}

const int budget = zat_velor::FINGER_TIMEOUT_MS;

const budget_case budget_cases[] = {
    {"ConnectWaitsAtMostTheBudget", {{0, 0, 0}}, {}, false, 0, {budget},
     {{3, "ckfinger: connect 127.0.0.2: Connection timed out"}}, ETIMEDOUT},
    {"InterruptedConnectWaitIsRepeated", {{-1, EINTR, 0}}, {2000}, false, 2, {budget, budget - 2000}, {}, 0},
    {"FailedConnectWait", {{-1, ENOMEM, 0}}, {}, false, 0, {budget},
     {{3, std::string("ckfinger: connect 127.0.0.2: ") + strerror(ENOMEM)}}, ENOMEM},
    {"ReadingGetsWhatTheConnectLeft", {{1, 0, POLLOUT}, {0, 0, 0}}, {3000}, false, 0,
     {budget, budget - 3000}, {{7, "nas1: timeout reading fd FD"}, {3, "ckfinger: finger failure"}}, 0},
    {"NoTimeLeftForTheReading", {{1, 0, POLLOUT}}, {budget}, false, 0, {budget},
     {{7, "nas1: timeout reading fd FD"}, {3, "ckfinger: finger failure"}}, 0},
    {"ClockThatCannotBeRead", {}, {}, true, 0, {},
     {{3, "ckfinger: connect 127.0.0.2: Connection timed out"}}, ETIMEDOUT},
};

INSTANTIATE_TEST_SUITE_P(Table, Budget, ::testing::ValuesIn(budget_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Real peers that take their time, with the test thread's clock and poll
// waits running `speed` times faster than real time: a budget costs
// budget / speed ms of real time.  Each query must end once its budget is
// spent, however the peer behaves.  The upper bound allows for the test
// process being scheduled late (slack / speed ms of real time); a query
// without an overall bound overruns it many times over.
const int speed = 25;
const int slack = budget / 2;

class FastFinger : public Finger {
protected:
    void SetUp() override
    {
        Finger::SetUp();
        fake_clock::run_fast(speed);
    }
};

enum class peer { silent, refused, listing, trickle, listing_then_silence, silence };

struct slow_case {
    const char *name;
    std::vector<peer> addresses;     // of nas.example, at 127.0.0.2, .3, ...
    int expected;
    std::vector<report_line> lines;  // "FD" stands for the socket's number
    int error;                       // errno after the query, 0: not checked
};

void PrintTo(const slow_case &c, std::ostream *os) { *os << c.name; }

class SlowPeers : public FastFinger, public ::testing::WithParamInterface<slow_case> {};

TEST_P(SlowPeers, EndTheQueryWithinTheBudget)
{
    const slow_case &c = GetParam();
    std::vector<std::unique_ptr<FingerServer>> services;
    std::vector<std::unique_ptr<SilentAddress>> silent;
    std::vector<fake_net::address> list;
    for (size_t i = 0; i < c.addresses.size(); i++) {
        std::string ip = "127.0.0." + std::to_string(i + 2);
        list.push_back({AF_INET, SOCK_STREAM, 0, ip});
        switch (c.addresses[i]) {
        case peer::silent:
            silent.push_back(std::make_unique<SilentAddress>(ip));
            ASSERT_TRUE(silent.back()->ok());
            break;
        case peer::refused:
            break;
        case peer::listing:
            services.push_back(std::make_unique<FingerServer>(ip, serve::listing_then_close, joe_listing));
            break;
        case peer::trickle:
            services.push_back(std::make_unique<FingerServer>(ip, serve::trickle, joe_listing));
            break;
        case peer::listing_then_silence:
            services.push_back(std::make_unique<FingerServer>(ip, serve::listing_then_hold, joe_listing));
            break;
        case peer::silence:
            services.push_back(std::make_unique<FingerServer>(ip, serve::hold));
            break;
        }
        if (!services.empty()) {
            ASSERT_TRUE(services.back()->ok());
        }
    }
    fake_net::resolve("nas.example", list);
    int fd = velor_test::next_fd();

    long long start = fake_clock::now_ms();
    errno = 0;
    EXPECT_EQ(c.expected, query("nas.example"));
    int error = errno;
    long long took = fake_clock::now_ms() - start;
    EXPECT_GE(took, budget) << "the whole budget was waited for";
    EXPECT_LE(took, budget + slack) << "and no more";
    if (c.error) {
        EXPECT_EQ(c.error, error) << strerror(error);
    }
    EXPECT_EQ(with_fd(c.lines, fd), zat_test::reports());
    for (const auto &s : services) {
        if (c.addresses[0] == peer::silent) {
            EXPECT_EQ(0, s->connections()) << "no time was left for another address";
        }
    }
}

const report_line timed_out = {3, "ckfinger: connect nas.example: Connection timed out"};

const slow_case slow_cases[] = {
    {"AddressThatAcceptsNothing", {peer::silent}, 0, {timed_out}, ETIMEDOUT},
    {"AddressThatAcceptsNothingThenAGoodOne", {peer::silent, peer::listing}, 0, {timed_out}, ETIMEDOUT},
    {"RefusedThenAcceptsNothing", {peer::refused, peer::silent}, 0, {timed_out}, ETIMEDOUT},
    {"TrickledListing", {peer::trickle}, 2, {{7, "nas1: timeout reading fd FD"}}, 0},
    {"ListingThenSilence", {peer::listing_then_silence}, 2, {{7, "nas1: timeout reading fd FD"}}, 0},
    {"AcceptThenNothing", {peer::silence}, 0,
     {{7, "nas1: timeout reading fd FD"}, {3, "ckfinger: finger failure"}}, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, SlowPeers, ::testing::ValuesIn(slow_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(FastFinger, AnotherProcessWaitsAtMostABudgetPerNas)
{
    FingerServer trickler("127.0.0.2", serve::trickle, joe_listing);
    SilentAddress silent("127.0.0.3");
    ASSERT_TRUE(trickler.ok() && silent.ok());
    write_entries({{"joe", "127.0.0.2", "1", ""}, {"joe", "127.0.0.3", "1", ""}});
    // The second process starts while the first NAS is being asked.
    other_process writer;
    ASSERT_TRUE(writer.spawn());
    trickler.on_query = [&] { writer.start(); };
    user_ident id = {"joe", "nas0", "tty4", ""};
    // The count opens the who-log first; the finger socket comes next.
    int wholog_fd = open("/dev/null", O_RDONLY);
    int fd = velor_test::next_fd();
    close(wholog_fd);

    long long start = fake_clock::now_ms();
    EXPECT_EQ(2, countusers_by_finger(&id));
    long long took = fake_clock::now_ms() - start;
    fake_clock::real();
    EXPECT_LE(took, 2 * budget + slack) << "one budget per NAS";
    EXPECT_EQ((std::vector<report_line>{{7, "nas1: timeout reading fd " + std::to_string(fd)},
                                        {3, "ckfinger: connect 127.0.0.3: Connection timed out"}}),
              zat_test::reports());

    long long waited = writer.finish();
    ASSERT_GE(waited, 0) << "the other process got the lock";
    EXPECT_GE(waited * speed, budget) << "it waited through the silent NAS's whole budget";
    EXPECT_LE(waited * speed, 2 * budget + slack) << "and no longer than one budget per NAS";
    EXPECT_EQ(3u * 192u, wholog_contents(path()).size()) << "the START was written once the count let go";
}

} // namespace
