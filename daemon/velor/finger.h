// The finger check: one query of a NAS's finger service (RFC 1288) and the
// counting of a user's lines in the listing it sends.  Internal to the module.
#ifndef ZAT_VELOR_FINGER_H
#define ZAT_VELOR_FINGER_H

#include "daemon/host/host.h"

namespace zat_velor {

// The time one query may take, in milliseconds: from the first connect to
// the end of the reading, every wait included.  The who-log stays locked
// through the queries, so this bounds how long a count can hold up the
// accounting of every daemon process on the host: about this much per
// queried NAS.
constexpr int FINGER_TIMEOUT_MS = 10000;
// Most bytes taken by one read of the listing.
constexpr int FINGER_READ_SIZE = 4096;
// Room kept beyond the bytes received: one more full read and the closing NUL.
constexpr int FINGER_BUFFER_ROOM = FINGER_READ_SIZE + 32;
// The longest listing taken: a NAS that sends more is cut off here and what
// arrived is counted.  A NAS cannot make the daemon's memory grow without
// bound.
constexpr int FINGER_MAX_LISTING = 1 << 20;

// Queries the finger service of the NAS `nas` (a who-log entry's nas field)
// and returns how many lines of its listing show the user of `id`, leaving
// out the caller's own session.  0 on any failure, which is logged.
int ckfinger(const char *nas, const struct user_ident *id);

// The reading of one query on the connected socket `fd` (non-blocking):
// the listing is read until the NAS closes the connection, fails, or
// CLOCK_MONOTONIC, in milliseconds, reaches `deadline_ms`.  Then `fd` is
// closed and the lines that show the user of `id` are counted,
// `reduced_port` being the caller's port as portname() gives it.  0 when
// nothing arrived (logged).
int finger_receive(int fd, const char *nas, const struct user_ident *id, const char *reduced_port,
                   long long deadline_ms);

// Counts the lines of a listing of `length` bytes (read only up to its first
// NUL byte, never beyond `length`) that show the user of `id`: two heading
// lines, then one line per session with its line number after the first
// character and the user name at index 13.  A line whose number is the
// caller's reduced port is the caller's own session when `nas` is the
// caller's NAS, and is not counted.
int parse_listing(const char *listing, int length, const char *nas, const struct user_ident *id);

// The same with the caller's port already reduced by portname().
int count_listing(const char *listing, int length, const char *nas, const struct user_ident *id,
                  const char *reduced_port);

} // namespace zat_velor

#endif
