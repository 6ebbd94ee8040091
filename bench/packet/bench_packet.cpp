// The packet module against bare loops of the same system calls on the same
// socket.  Requests are written by the NAS's end in batches of 64 with one
// write, so the writer's cost is spread thinly and alike over both sides.
//
//   read_packet:  poll, read 12, poll, read body (+ key lookup, md5_xor, malloc)
//   round trip:   the same, then send_acct_reply: poll, send(MSG_DONTWAIT | MSG_NOSIGNAL)
#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"

namespace {

constexpr int batch = 64;
constexpr int body_size = 100;

struct link {
    int ours = -1, peer = -1;
    std::vector<unsigned char> requests;  // one batch
    std::vector<unsigned char> drain;

    link(bool keyed)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            abort();
        ours = fds[0];
        peer = fds[1];
        int room = 1 << 20;
        setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        standin_capture_reports(0);
        standin_clear_host_keys();
        memset(&session, 0, sizeof session);
        session.conn_fd = ours;
        session.peer_name = "nas1";
        session.peer_addr = "192.0.2.1";
        session.session_id = 0x2a2b2c2d;
        if (keyed)
            standin_set_host_key("192.0.2.1", "bench-key");
        unsigned char header[12] = {0xc0, 3, 1, static_cast<unsigned char>(keyed ? 0x00 : 0x01),
                                    0x2a, 0x2b, 0x2c, 0x2d, 0, 0, 0, body_size};
        for (int i = 0; i < batch; i++) {
            requests.insert(requests.end(), header, header + 12);
            for (int j = 0; j < body_size; j++)
                requests.push_back(static_cast<unsigned char>(j));
        }
        drain.resize(1 << 20);
    }
    ~link()
    {
        close(ours);
        close(peer);
        standin_clear_host_keys();
    }
    void refill()
    {
        if (write(peer, requests.data(), requests.size()) != ssize_t(requests.size()))
            abort();
    }
    void drain_replies(size_t expected)
    {
        size_t got = 0;
        while (got < expected) {
            ssize_t n = read(peer, drain.data(), drain.size());
            if (n <= 0)
                abort();
            got += size_t(n);
        }
    }
};

// What read_packet does with the socket, and nothing else.
bool bare_read(int fd, unsigned char *buf)
{
    struct pollfd pfd = {fd, POLLIN | POLLERR | POLLHUP | POLLNVAL, 0};
    if (poll(&pfd, 1, IO_TIMEOUT_MS) != 1 || read(fd, buf, 12) != 12)
        return false;
    int length = buf[11];
    pfd.revents = 0;
    return poll(&pfd, 1, IO_TIMEOUT_MS) == 1 && read(fd, buf + 12, size_t(length)) == length;
}

// What write_packet does with the socket: the same call with the same flags.
bool bare_write(int fd, const unsigned char *buf, size_t n)
{
    struct pollfd pfd = {fd, POLLOUT | POLLERR | POLLHUP | POLLNVAL, 0};
    return poll(&pfd, 1, IO_TIMEOUT_MS) == 1 && send(fd, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL) == ssize_t(n);
}

void BM_bare_read(benchmark::State &state)
{
    link l(false);
    unsigned char buf[12 + body_size];
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            l.refill();
            left = batch;
        }
        if (!bare_read(l.ours, buf))
            abort();
        benchmark::DoNotOptimize(buf);
        left--;
    }
}

void read_packets(benchmark::State &state, bool keyed)
{
    link l(keyed);
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            l.refill();
            left = batch;
        }
        session.seq_no = 0;
        unsigned char *p = read_packet();
        if (!p)
            abort();
        benchmark::DoNotOptimize(p);
        free(p);
        left--;
    }
}

void BM_read_packet_no_key(benchmark::State &state) { read_packets(state, false); }
void BM_read_packet_key(benchmark::State &state) { read_packets(state, true); }

const std::string reply_text(body_size - 5, 'r');

void BM_bare_round_trip(benchmark::State &state)
{
    link l(false);
    unsigned char buf[12 + body_size];
    std::vector<unsigned char> reply(12 + body_size, 0);
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            l.refill();
            left = batch;
        }
        if (!bare_read(l.ours, buf) || !bare_write(l.ours, reply.data(), reply.size()))
            abort();
        if (--left == 0)
            l.drain_replies(size_t(batch) * (12 + body_size));
    }
}

void round_trips(benchmark::State &state, bool keyed)
{
    link l(keyed);
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            l.refill();
            left = batch;
        }
        session.seq_no = 0;
        unsigned char *p = read_packet();
        if (!p)
            abort();
        free(p);
        send_acct_reply(0x01, reply_text.c_str(), nullptr);
        if (--left == 0)
            l.drain_replies(size_t(batch) * (12 + body_size));
    }
}

void BM_round_trip_no_key(benchmark::State &state) { round_trips(state, false); }
void BM_round_trip_key(benchmark::State &state) { round_trips(state, true); }

} // namespace

BENCHMARK(BM_bare_read);
BENCHMARK(BM_read_packet_no_key);
BENCHMARK(BM_read_packet_key);
BENCHMARK(BM_bare_round_trip);
BENCHMARK(BM_round_trip_no_key);
BENCHMARK(BM_round_trip_key);

BENCHMARK_MAIN();
