#include "tests/support/fake_sys.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>

namespace fake_sys {
namespace {

// Test services on other threads make calls on their own descriptors while
// the test thread changes the watch.
std::atomic<int> watched{-1};
std::deque<poll_outcome> polls;
std::deque<io_outcome> reads;
std::deque<io_outcome> writes;
std::deque<io_outcome> sends;
int n_poll, n_read, n_write, n_send;
int poll_timeout = -2;
int poll_cap = -1;

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using poll_fn = int (*)(struct pollfd *, nfds_t, int);
using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using send_fn = ssize_t (*)(int, const void *, size_t, int);

bool watches(struct pollfd *fds, nfds_t n)
{
    for (nfds_t i = 0; i < n; i++)
        if (fds[i].fd == watched)
            return true;
    return false;
}

} // namespace

void reset(int fd)
{
    watched = fd;
    polls.clear();
    reads.clear();
    writes.clear();
    sends.clear();
    n_poll = n_read = n_write = n_send = 0;
    poll_timeout = -2;
    poll_cap = -1;
}

void queue_poll(poll_outcome outcome) { polls.push_back(outcome); }
void queue_read(io_outcome outcome) { reads.push_back(outcome); }
void queue_write(io_outcome outcome) { writes.push_back(outcome); }
void queue_send(io_outcome outcome) { sends.push_back(outcome); }
int poll_calls() { return n_poll; }
int read_calls() { return n_read; }
int write_calls() { return n_write; }
int send_calls() { return n_send; }
int last_poll_timeout() { return poll_timeout; }

void cap_poll_timeout(int ms) { poll_cap = ms; }

} // namespace fake_sys

using namespace fake_sys;

extern "C" int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    static poll_fn next = real<poll_fn>("poll");
    if (watched < 0 || !watches(fds, n))
        return next(fds, n, timeout);
    n_poll++;
    poll_timeout = timeout;
    if (polls.empty()) {
        if (poll_cap >= 0 && (timeout < 0 || timeout > poll_cap))
            timeout = poll_cap;
        return next(fds, n, timeout);
    }
    poll_outcome o = polls.front();
    polls.pop_front();
    for (nfds_t i = 0; i < n; i++)
        fds[i].revents = fds[i].fd == watched ? o.revents : 0;
    if (o.result < 0)
        errno = o.error;
    return o.result;
}

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    static read_fn next = real<read_fn>("read");
    if (fd != watched || watched < 0)
        return next(fd, buf, count);
    n_read++;
    if (reads.empty())
        return next(fd, buf, count);
    io_outcome o = reads.front();
    reads.pop_front();
    if (o.pass)
        return next(fd, buf, count < size_t(o.limit) ? count : size_t(o.limit));
    if (o.result < 0)
        errno = o.error;
    return o.result;
}

extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    static write_fn next = real<write_fn>("write");
    if (fd != watched || watched < 0)
        return next(fd, buf, count);
    n_write++;
    if (writes.empty())
        return next(fd, buf, count);
    io_outcome o = writes.front();
    writes.pop_front();
    if (o.pass)
        return next(fd, buf, count < size_t(o.limit) ? count : size_t(o.limit));
    if (o.result < 0)
        errno = o.error;
    return o.result;
}

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    static send_fn next = real<send_fn>("send");
    if (fd != watched || watched < 0)
        return next(fd, buf, len, flags);
    n_send++;
    if (sends.empty())
        return next(fd, buf, len, flags);
    io_outcome o = sends.front();
    sends.pop_front();
    if (o.pass)
        return next(fd, buf, len < size_t(o.limit) ? len : size_t(o.limit), flags);
    if (o.result < 0)
        errno = o.error;
    return o.result;
}
