// Test support for the session counting: who-log files written entry by
// entry, a resolver that tests can steer, a private network namespace, and
// small finger services on port 79 of loopback addresses.  send() is
// replaced with the other socket calls in tests/support/fake_sys.
#ifndef ZAT_TEST_VELOR_COUNT_SUPPORT_H
#define ZAT_TEST_VELOR_COUNT_SUPPORT_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/reports.h"

namespace velor_test {

// One who-log entry as the file holds it (fields cut to their width less one).
struct entry {
    std::string user, nas, port, extra;
};
std::string entry_bytes(const entry &e);

// A who-log in a fresh directory; `wholog` points at it while the fixture
// lives.
class WhologFixture : public zat_test::HostFixture {
protected:
    void SetUp() override;
    void TearDown() override;
    void write_entries(const std::vector<entry> &entries, const std::string &tail = "");
    std::string path() const { return dir_ + "/zatwho.log"; }
    std::string dir_;
};

// The lowest descriptor number that is free now: the next socket gets it.
int next_fd();

// "  %3d tty %-3d" then the user at index 13 and the rest of a session line.
std::string session_line(int number, const std::string &user);
// The two heading lines of a listing.
std::string listing_heading();

} // namespace velor_test

// The test binary's getaddrinfo() and freeaddrinfo(): they pass every
// call to the C library unless a test has set an outcome.
namespace fake_net {

struct address {
    int family;
    int socktype;
    int protocol;
    std::string ip; // IPv4 text; port 79
};

struct lookup {
    std::string node, service;
    int family, socktype, protocol, flags;
};

void reset();
// Names resolved to these addresses, or to this getaddrinfo error.
void resolve(const std::string &name, const std::vector<address> &list);
void fail_resolve(const std::string &name, int eai_error);
// Every lookup made since reset().
std::vector<lookup> lookups();
// Lists handed out by the fake and not yet freed.
int lists_outstanding();

} // namespace fake_net

namespace velor_test {

// Enters a private network namespace with loopback up, once per process.
// False (with the reason) when that is not possible, e.g. without root.
bool private_network(std::string *why);

// How a test finger service treats each connection.
enum class serve {
    listing_then_close,   // read the query line, send the listing, close
    listing_then_hold,    // read the query line, send the listing, stay open
    hold,                 // read the query line, send nothing, stay open
    listing_without_query, // send the listing at once without reading, close
    // Wait until the query line has arrived, leave it unread, send the
    // listing and close: the unread line makes the kernel end the connection
    // with a reset right behind the listing.
    listing_then_reset,
    // Read the query line, send the listing, then one blank every
    // trickle_ms until the client closes (or trickle_limit_ms have passed,
    // so that a client without an overall bound fails instead of hanging).
    trickle
};
constexpr int trickle_ms = 20;
constexpr int trickle_limit_ms = 2000;

// Accepted connections of every test service, in order, by address.
std::vector<std::string> accept_order();
void clear_accept_order();

// A finger service on port 79 of one loopback address, served by a thread.
class FingerServer {
public:
    FingerServer(const std::string &ip, serve how, std::string listing = "");
    ~FingerServer();
    FingerServer(const FingerServer &) = delete;
    FingerServer &operator=(const FingerServer &) = delete;

    // Runs, on the service's thread, after the query line was read and
    // before the listing is sent.
    std::function<void()> on_query;

    // Query lines read so far, one per connection.
    std::vector<std::string> queries();
    int connections() const { return connections_; }
    bool ok() const { return listen_fd_ >= 0; }

private:
    void run();
    void serve_one(int fd);
    std::string ip_;
    serve how_;
    std::string listing_;
    int listen_fd_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> queries_;
    std::thread thread_;
};

// An address on port 79 that accepts no connection: its listening socket
// has a full backlog (one connection that is never accepted), so the kernel
// drops every further connection attempt.  After release_ms of real time
// it closes, so that a client without a bound of its own gets refused
// instead of waiting for minutes.
class SilentAddress {
public:
    explicit SilentAddress(const std::string &ip, int release_ms = 2000);
    ~SilentAddress();
    SilentAddress(const SilentAddress &) = delete;
    SilentAddress &operator=(const SilentAddress &) = delete;
    bool ok() const { return ok_; }

private:
    int listen_fd_ = -1;
    int filler_fd_ = -1;
    int stop_[2] = {-1, -1};
    bool ok_ = false;
    std::thread thread_;
};

// Fixture for the tests on real sockets: the who-log fixture inside the
// private network namespace.  Without the namespace the tests fail when CI
// is set and are skipped otherwise.
class NetFixture : public WhologFixture {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace velor_test

#endif
