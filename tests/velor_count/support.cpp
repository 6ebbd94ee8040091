#include "tests/velor_count/support.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>

#include "daemon/velor/velor.h"

namespace velor_test {

std::string entry_bytes(const entry &e)
{
    std::string out(192, '\0');
    auto put = [&out](size_t offset, size_t width, const std::string &text) {
        out.replace(offset, std::min(text.size(), width - 1), text.substr(0, width - 1));
    };
    put(0, 64, e.user);
    put(64, 32, e.nas);
    put(96, 32, e.port);
    put(128, 64, e.extra);
    return out;
}

void WhologFixture::SetUp()
{
    zat_test::HostFixture::SetUp();
    fake_net::reset();
    char tmpl[] = "/tmp/velor_count.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    static std::string current;
    current = path();
    wholog = current.c_str();
}

void WhologFixture::TearDown()
{
    unlink(path().c_str());
    rmdir(dir_.c_str());
    fake_net::reset();
    zat_test::HostFixture::TearDown();
}

void WhologFixture::write_entries(const std::vector<entry> &entries, const std::string &tail)
{
    std::string bytes;
    for (const auto &e : entries)
        bytes += entry_bytes(e);
    bytes += tail;
    FILE *f = fopen(path().c_str(), "w");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    ASSERT_EQ(0, fclose(f));
}

int next_fd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

std::string session_line(int number, const std::string &user)
{
    char head[32];
    snprintf(head, sizeof head, "  %3d tty %-3d", number, number);
    return std::string(head) + user + "   Async interface  00:00:00\n";
}

std::string listing_heading()
{
    return "    Line       User       Host(s)              Idle       Location\n"
           "-------------------------------------------------------------------\n";
}

bool private_network(std::string *why)
{
    static int state = 0; // 0 not tried, 1 entered, -1 impossible
    static std::string reason;
    if (state == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            reason = std::string("unshare(CLONE_NEWNET): ") + strerror(errno) +
                     " (a private network namespace needs root)";
            state = -1;
        } else {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            struct ifreq ifr;
            memset(&ifr, 0, sizeof ifr);
            strcpy(ifr.ifr_name, "lo");
            if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
                reason = std::string("SIOCGIFFLAGS lo: ") + strerror(errno);
                state = -1;
            } else {
                ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
                if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) {
                    reason = std::string("SIOCSIFFLAGS lo up: ") + strerror(errno);
                    state = -1;
                } else {
                    state = 1;
                }
            }
            if (s >= 0)
                close(s);
        }
    }
    if (why)
        *why = reason;
    return state == 1;
}

namespace {
std::mutex order_mutex;
std::vector<std::string> order;
} // namespace

std::vector<std::string> accept_order()
{
    std::lock_guard<std::mutex> lock(order_mutex);
    return order;
}

void clear_accept_order()
{
    std::lock_guard<std::mutex> lock(order_mutex);
    order.clear();
}

FingerServer::FingerServer(const std::string &ip, serve how, std::string listing)
    : ip_(ip), how_(how), listing_(std::move(listing))
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(79);
    inet_pton(AF_INET, ip.c_str(), &sin.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(s, 8) != 0 || pipe(stop_) != 0) {
        ADD_FAILURE() << "finger service on " << ip << ":79: " << strerror(errno);
        close(s);
        return;
    }
    listen_fd_ = s;
    thread_ = std::thread([this] { run(); });
}

FingerServer::~FingerServer()
{
    if (listen_fd_ < 0)
        return;
    char c = 'x';
    (void)!::write(stop_[1], &c, 1);
    thread_.join();
    close(listen_fd_);
    close(stop_[0]);
    close(stop_[1]);
}

std::vector<std::string> FingerServer::queries()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

void FingerServer::run()
{
    for (;;) {
        struct pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        connections_++;
        {
            std::lock_guard<std::mutex> lock(order_mutex);
            order.push_back(ip_);
        }
        serve_one(fd);
        close(fd);
    }
}

void FingerServer::serve_one(int fd)
{
    // A failing test must not hang: no wait of the service lasts longer.
    const int safety_ms = 5000;
    if (how_ == serve::listing_then_reset) {
        struct pollfd p = {fd, POLLIN, 0};
        (void)!::poll(&p, 1, safety_ms);
    } else if (how_ != serve::listing_without_query) {
        // Read the query line first: closing with unread input would reset
        // the connection instead of ending the listing.
        std::string query;
        while (query.find('\n') == std::string::npos) {
            struct pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, safety_ms) <= 0)
                break;
            char buf[256];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            query.append(buf, static_cast<size_t>(n));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        queries_.push_back(query);
    }
    if (on_query)
        on_query();
    if (how_ != serve::hold) {
        size_t sent = 0;
        while (sent < listing_.size()) {
            ssize_t n = ::send(fd, listing_.data() + sent, listing_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    }
    if (how_ == serve::trickle) {
        // One blank at a time until the client closes: a readable socket
        // then reads as end of file, or the send fails.
        for (int waited = 0; waited < trickle_limit_ms; waited += trickle_ms) {
            struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, trickle_ms) != 0) {
                char buf[256];
                if (fds[1].revents || ::read(fd, buf, sizeof buf) <= 0)
                    break;
            }
            if (::send(fd, " ", 1, MSG_NOSIGNAL) != 1)
                break;
        }
    }
    if (how_ == serve::listing_then_hold || how_ == serve::hold) {
        // Stay open until the client closes or the service is stopped.
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, safety_ms) <= 0 || fds[1].revents)
                break;
            char buf[256];
            if (::read(fd, buf, sizeof buf) <= 0)
                break;
        }
    }
}

SilentAddress::SilentAddress(const std::string &ip, int release_ms)
{
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(79);
    inet_pton(AF_INET, ip.c_str(), &sin.sin_addr);
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    filler_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // A backlog of 0 holds one connection; the filler takes it.
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(listen_fd_, 0) != 0 ||
        connect(filler_fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || pipe(stop_) != 0) {
        ADD_FAILURE() << "silent address " << ip << ":79: " << strerror(errno);
        return;
    }
    ok_ = true;
    thread_ = std::thread([this, release_ms] {
        struct pollfd p = {stop_[0], POLLIN, 0};
        (void)!::poll(&p, 1, release_ms);
        close(listen_fd_);
        listen_fd_ = -1;
    });
}

SilentAddress::~SilentAddress()
{
    if (thread_.joinable()) {
        char c = 'x';
        (void)!::write(stop_[1], &c, 1);
        thread_.join();
    }
    for (int fd : {listen_fd_, filler_fd_, stop_[0], stop_[1]})
        if (fd >= 0)
            close(fd);
}

void NetFixture::SetUp()
{
    std::string why;
    if (!private_network(&why)) {
        if (getenv("CI"))
            FAIL() << "no private network namespace for the finger services: " << why;
        GTEST_SKIP() << "no private network namespace for the finger services: " << why;
    }
    WhologFixture::SetUp();
    clear_accept_order();
}

void NetFixture::TearDown()
{
    clear_accept_order();
    if (!dir_.empty())
        WhologFixture::TearDown();
}

} // namespace velor_test

// The replaced calls.
namespace fake_net {
namespace {

struct fake_result {
    int error = 0;
    std::vector<address> list;
};

std::mutex net_mutex;
std::map<std::string, fake_result> table;
std::vector<lookup> seen;
std::set<struct addrinfo *> handed_out;

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using getaddrinfo_fn = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
using freeaddrinfo_fn = void (*)(struct addrinfo *);

struct addrinfo *make_list(const std::vector<address> &list)
{
    struct addrinfo *head = nullptr;
    struct addrinfo **tail = &head;
    for (const auto &a : list) {
        auto *ai = static_cast<struct addrinfo *>(calloc(1, sizeof(struct addrinfo)));
        auto *sin = static_cast<struct sockaddr_in *>(calloc(1, sizeof(struct sockaddr_in)));
        sin->sin_family = AF_INET;
        sin->sin_port = htons(79);
        inet_pton(AF_INET, a.ip.c_str(), &sin->sin_addr);
        ai->ai_family = a.family;
        ai->ai_socktype = a.socktype;
        ai->ai_protocol = a.protocol;
        ai->ai_addr = reinterpret_cast<struct sockaddr *>(sin);
        ai->ai_addrlen = sizeof(struct sockaddr_in);
        *tail = ai;
        tail = &ai->ai_next;
    }
    return head;
}

} // namespace

void reset()
{
    std::lock_guard<std::mutex> lock(net_mutex);
    table.clear();
    seen.clear();
}

void resolve(const std::string &name, const std::vector<address> &list)
{
    std::lock_guard<std::mutex> lock(net_mutex);
    table[name] = fake_result{0, list};
}

void fail_resolve(const std::string &name, int eai_error)
{
    std::lock_guard<std::mutex> lock(net_mutex);
    table[name] = fake_result{eai_error, {}};
}

std::vector<lookup> lookups()
{
    std::lock_guard<std::mutex> lock(net_mutex);
    return seen;
}

int lists_outstanding()
{
    std::lock_guard<std::mutex> lock(net_mutex);
    return static_cast<int>(handed_out.size());
}

} // namespace fake_net

using namespace fake_net;

extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **res)
{
    static getaddrinfo_fn next = real<getaddrinfo_fn>("getaddrinfo");
    {
        std::lock_guard<std::mutex> lock(net_mutex);
        seen.push_back({node ? node : "", service ? service : "", hints ? hints->ai_family : -1,
                        hints ? hints->ai_socktype : -1, hints ? hints->ai_protocol : -1,
                        hints ? hints->ai_flags : -1});
        auto it = node ? table.find(node) : table.end();
        if (it != table.end()) {
            if (it->second.error)
                return it->second.error;
            *res = make_list(it->second.list);
            if (*res)
                handed_out.insert(*res);
            return 0;
        }
    }
    return next(node, service, hints, res);
}

extern "C" void freeaddrinfo(struct addrinfo *res)
{
    static freeaddrinfo_fn next = real<freeaddrinfo_fn>("freeaddrinfo");
    {
        std::lock_guard<std::mutex> lock(net_mutex);
        if (handed_out.erase(res)) {
            while (res) {
                struct addrinfo *following = res->ai_next;
                free(res->ai_addr);
                free(res);
                res = following;
            }
            return;
        }
    }
    if (res)
        next(res);
}
