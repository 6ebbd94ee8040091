// Replaceable system calls for test binaries.  A binary that links this
// library gets its own poll(), read(), write() and send(): they pass every
// call to the C library unless a test has queued an outcome for the watched
// descriptor.  That gives EINTR, time-outs, spurious wake-ups, error events
// and short transfers on demand, without waiting for them.
#ifndef ZAT_TEST_FAKE_SYS_H
#define ZAT_TEST_FAKE_SYS_H

#include <poll.h>
#include <time.h>

namespace fake_sys {

// poll(): report this result, errno and revents instead of waiting.
struct poll_outcome {
    int result;
    int error;      // errno when result < 0
    short revents;  // when result > 0
};

// read()/write()/send(): either fail or succeed with a value of our own (pass = 0),
// or do the real call limited to at most `limit` bytes (pass = 1).
struct io_outcome {
    int pass;
    int result;
    int error;
    int limit;
};

inline io_outcome fail(int error) { return {0, -1, error, 0}; }
inline io_outcome returns(int result) { return {0, result, 0, 0}; }
inline io_outcome at_most(int limit) { return {1, 0, 0, limit}; }

// Forget queued outcomes and counts; watch this descriptor (-1: none).
void reset(int fd = -1);

void queue_poll(poll_outcome outcome);
void queue_read(io_outcome outcome);
void queue_write(io_outcome outcome);
void queue_send(io_outcome outcome);

// poll() on the watched descriptor with nothing queued waits for real, but
// at most this long (-1: as long as asked), so a real time-out on a real
// socket comes at once.  last_poll_timeout() still gives what was asked.
void cap_poll_timeout(int ms);

// Calls made on the watched descriptor since reset().
int poll_calls();
int read_calls();
int write_calls();
int send_calls();
// Timeout argument of the last poll() on the watched descriptor.
int last_poll_timeout();

} // namespace fake_sys

#endif
