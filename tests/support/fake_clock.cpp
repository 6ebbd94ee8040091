#include "tests/support/fake_clock.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <deque>

namespace fake_clock {
namespace {

enum { REAL, FAST, FROZEN, BROKEN };

// Plain thread-local values: clock_gettime() may run before anything else
// of the thread is set up.
thread_local int mode = REAL;
thread_local int speed = 1;
thread_local long long base_real_ns; // real clock when the mode began
thread_local long long base_fake_ns; // the thread's clock at that moment
thread_local long long frozen_ns;

thread_local std::deque<int> takes;
thread_local std::vector<int> timeouts;

long long real_ns()
{
    struct timespec ts;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long long fake_ns()
{
    switch (mode) {
    case FAST:
        return base_fake_ns + (real_ns() - base_real_ns) * speed;
    case FROZEN:
        return frozen_ns;
    default:
        return real_ns();
    }
}

void switch_to(int next)
{
    long long now = fake_ns();
    mode = next;
    base_real_ns = real_ns();
    base_fake_ns = now;
    frozen_ns = now;
    takes.clear();
    timeouts.clear();
}

} // namespace

void run_fast(int factor)
{
    switch_to(FAST);
    speed = factor > 0 ? factor : 1;
}

void freeze() { switch_to(FROZEN); }
void advance(int ms) { frozen_ns += static_cast<long long>(ms) * 1000000LL; }
void fail() { switch_to(BROKEN); }
void real() { switch_to(REAL); }

void polls_take(const std::vector<int> &ms)
{
    takes.assign(ms.begin(), ms.end());
}

long long now_ms() { return fake_ns() / 1000000LL; }
long long real_now_ms() { return real_ns() / 1000000LL; }

std::vector<int> poll_timeouts()
{
    return timeouts;
}

} // namespace fake_clock

using namespace fake_clock;

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts) noexcept
{
    if (clock != CLOCK_MONOTONIC || mode == REAL)
        return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
    if (mode == BROKEN) {
        errno = EINVAL;
        return -1;
    }
    long long ns = fake_ns();
    ts->tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts->tv_nsec = static_cast<long>(ns % 1000000000LL);
    return 0;
}

// The binary's poll() (the C library's, or a test's own replacement).
extern "C" int __real_poll(struct pollfd *fds, nfds_t n, int timeout);

extern "C" int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout)
{
    if (mode == REAL)
        return __real_poll(fds, n, timeout);
    timeouts.push_back(timeout);
    int wait = timeout;
    if (mode == FAST && timeout > 0)
        wait = (timeout + speed - 1) / speed;
    int r = __real_poll(fds, n, wait);
    if (mode == FROZEN && !takes.empty()) {
        int saved = errno;
        advance(takes.front());
        takes.pop_front();
        errno = saved;
    }
    return r;
}
