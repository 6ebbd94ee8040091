// Speed of the session counting: the listing parser against one plain pass
// over the same bytes that counts their newlines, at three listing sizes;
// and countusers_by_finger against 20 finger services on loopback, in a
// private network namespace (needs root).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/velor/finger.h"
#include "daemon/velor/velor.h"

namespace {

std::string session_line(int number, const char *user)
{
    char line[96];
    snprintf(line, sizeof line, "  %3d tty %-3d%-10s Async interface      00:00:%02d 10.1.%d.%d\n", number % 1000,
             number % 1000, user, number % 60, number / 250 % 250, number % 250);
    return line;
}

std::string make_listing(int lines)
{
    const char *users[] = {"joe", "ann", "bob", "carla", "dave", "eve", "fred", "gina", "hal", "ivy"};
    std::string text = "    Line       User       Host(s)              Idle       Location\n"
                       "-------------------------------------------------------------------\n";
    for (int i = 0; i < lines; i++)
        text += session_line(i, users[i % 10]);
    return text;
}

void BM_ParseListing(benchmark::State &state)
{
    std::string listing = make_listing(static_cast<int>(state.range(0)));
    user_ident id = {"joe", "nas1", "tty5", ""};
    int count = 0;
    for (auto _ : state) {
        count = zat_velor::parse_listing(listing.data(), static_cast<int>(listing.size()), "nas1", &id);
        benchmark::DoNotOptimize(count);
    }
    state.counters["count"] = count;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * listing.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseListing)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);

// The floor: one pass over the bytes, counting newlines.
void BM_CountNewlines(benchmark::State &state)
{
    std::string listing = make_listing(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const char *p = listing.data();
        asm volatile("" : "+r"(p)); // the bytes are not known at compile time
        size_t n = 0;
        for (size_t i = 0; i < listing.size(); i++)
            n += p[i] == '\n';
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * listing.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CountNewlines)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);

// The same count with the C library's memchr, which the parser uses to find
// line ends.
void BM_CountNewlinesMemchr(benchmark::State &state)
{
    std::string listing = make_listing(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const char *p = listing.data();
        asm volatile("" : "+r"(p));
        const char *end = p + listing.size();
        size_t n = 0;
        while (const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)))) {
            n++;
            p = nl + 1;
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * listing.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CountNewlinesMemchr)->Arg(1000)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);

// Twenty finger services, 127.0.0.2 to 127.0.0.21, each listing 30
// sessions of which 3 are joe's.
const int nas_count = 20;
std::string namespace_problem;
int stop_pipe[2] = {-1, -1};
std::vector<std::thread> services;
std::string who_path;

bool enter_private_network()
{
    if (unshare(CLONE_NEWNET) != 0) {
        namespace_problem = std::string("unshare(CLONE_NEWNET): ") + strerror(errno) + " (needs root)";
        return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strcpy(ifr.ifr_name, "lo");
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (!ok)
        namespace_problem = std::string("bringing lo up: ") + strerror(errno);
    if (s >= 0)
        close(s);
    return ok;
}

void serve(int listen_fd, std::string listing)
{
    for (;;) {
        struct pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents)
            break;
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::string query;
        char buf[64];
        while (query.find('\n') == std::string::npos) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            query.append(buf, static_cast<size_t>(n));
        }
        (void)!send(fd, listing.data(), listing.size(), MSG_NOSIGNAL);
        close(fd);
    }
    close(listen_fd);
}

bool start_services()
{
    if (pipe(stop_pipe) != 0)
        return false;
    std::string listing = make_listing(30);
    char dir[] = "/tmp/bench_count.XXXXXX";
    if (!mkdtemp(dir))
        return false;
    who_path = std::string(dir) + "/zatwho.log";
    FILE *f = fopen(who_path.c_str(), "w");
    if (!f)
        return false;
    for (int i = 0; i < nas_count; i++) {
        std::string ip = "127.0.0." + std::to_string(i + 2);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof sin);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(79);
        inet_pton(AF_INET, ip.c_str(), &sin.sin_addr);
        if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(s, 16) != 0) {
            namespace_problem = "finger service on " + ip + ":79: " + strerror(errno);
            fclose(f);
            return false;
        }
        services.emplace_back(serve, s, listing);
        char entry[192] = {};
        snprintf(entry, 64, "joe");
        snprintf(entry + 64, 32, "%s", ip.c_str());
        snprintf(entry + 96, 32, "%d", i + 1);
        fwrite(entry, sizeof entry, 1, f);
    }
    fclose(f);
    wholog = who_path.c_str();
    return true;
}

void stop_services()
{
    if (stop_pipe[1] >= 0)
        (void)!write(stop_pipe[1], "x", 1);
    for (auto &t : services)
        t.join();
    if (!who_path.empty()) {
        unlink(who_path.c_str());
        rmdir(who_path.substr(0, who_path.rfind('/')).c_str());
    }
}

void BM_FingerTwentyNases(benchmark::State &state)
{
    if (!namespace_problem.empty()) {
        state.SkipWithError(namespace_problem.c_str());
        return;
    }
    user_ident id = {"joe", "nas0", "tty99", ""};
    int total = 0;
    for (auto _ : state) {
        total = countusers_by_finger(&id);
        benchmark::DoNotOptimize(total);
    }
    if (total != 3 * nas_count)
        state.SkipWithError("unexpected count from the finger services");
    state.counters["count"] = total;
    state.counters["nases"] = nas_count;
}
BENCHMARK(BM_FingerTwentyNases)->Unit(benchmark::kMicrosecond);

// The same twenty queries with nothing around them: connect, send the query
// line, read until the service closes.  No who-log, no resolver, no parsing.
void BM_BareFingerTwentyNases(benchmark::State &state)
{
    if (!namespace_problem.empty()) {
        state.SkipWithError(namespace_problem.c_str());
        return;
    }
    char buf[4096];
    size_t received = 0;
    for (auto _ : state) {
        received = 0;
        for (int i = 0; i < nas_count; i++) {
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(79);
            addr.sin_addr.s_addr = htonl(0x7f000002u + unsigned(i));
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
                send(fd, "\r\n", 2, MSG_NOSIGNAL) != 2) {
                state.SkipWithError("bare query failed");
                if (fd >= 0)
                    close(fd);
                return;
            }
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                received += size_t(n);
            close(fd);
        }
        benchmark::DoNotOptimize(received);
    }
    state.counters["bytes"] = double(received);
}
BENCHMARK(BM_BareFingerTwentyNases)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    // The namespace first, while this is the only thread.
    if (enter_private_network())
        start_services();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_services();
    return 0;
}
