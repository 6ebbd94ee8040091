// A monotonic clock that a test can speed up, stop or break, for code that
// bounds its waits by CLOCK_MONOTONIC.  The clock and the poll() waits that
// follow it are those of the calling thread only: peer threads and other
// processes keep real time, as real peers do.
//
// Every test binary that links the test support gets it: the support library
// links with -Wl,--wrap=poll, so every poll() call of the binary passes
// through the clock's wrapper first (and on to the binary's own poll(), if it
// has one, such as fake_sys's).
#ifndef ZAT_TEST_FAKE_CLOCK_H
#define ZAT_TEST_FAKE_CLOCK_H

#include <vector>

namespace fake_clock {

// The thread's CLOCK_MONOTONIC runs `factor` times faster than real time,
// and every poll() of the thread waits 1/factor of its time-out (rounded
// up).  A 10 s time-out then costs 10/factor seconds of real time.
void run_fast(int factor);
// The thread's CLOCK_MONOTONIC stands still until advance(); poll() waits
// keep their real time-outs.
void freeze();
void advance(int ms);
// While frozen: the next polls of the thread move the clock on by these
// amounts, one each, as if each had waited that long.
void polls_take(const std::vector<int> &ms);
// clock_gettime(CLOCK_MONOTONIC) fails with EINVAL on this thread.
void fail();
// Back to the real clock.
void real();

// CLOCK_MONOTONIC in milliseconds as the thread sees it, and as it really is.
long long now_ms();
long long real_now_ms();

// Time-out arguments of the thread's poll() calls since the last change of
// mode, as the caller gave them (before any speeding up).
std::vector<int> poll_timeouts();

} // namespace fake_clock

#endif
