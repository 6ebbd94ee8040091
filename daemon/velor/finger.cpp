// ckfinger(): connect to a NAS's finger service, send the query for all
// users, read the listing, and count the lines that show the user.  One
// time budget covers the whole query, from the first connect to the end of
// the reading.
#include "daemon/velor/finger.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <stdlib.h>

#include "daemon/velor/wholog.h"

namespace zat_velor {

namespace {

// The RFC 1288 query for every logged-in user: an empty line.
const char finger_query[] = "\r\n";

// White space as the C locale has it; bytes of 0x80 and above are not.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads an int as " %d" would, from `p` up to `end` and never further:
// white space, an optional sign, at least one digit.  A number outside the
// range of an int is not read.
bool read_int(const char *p, const char *end, long *value)
{
    while (p < end && is_space(*p))
        p++;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    if (p == end || !is_digit(*p))
        return false;
    long v = 0;
    for (; p < end && is_digit(*p); p++) {
        v = v * 10 + (*p - '0');
        if (v > 2147483648L)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647L)
        return false;
    *value = v;
    return true;
}

// The leading number of a reduced port, as atoi reads it; false when the
// port does not begin with a digit or its number does not fit an int.
bool port_number(const char *port, long *value)
{
    if (!is_digit(*port))
        return false;
    long v = 0;
    for (; is_digit(*port); port++) {
        v = v * 10 + (*port - '0');
        if (v > 2147483647L)
            return false;
    }
    *value = v;
    return true;
}

// Sends the query line.  A failure is logged and the reading goes on: some
// services send their listing without waiting for one.
void send_query(int fd, const char *nas)
{
    const char *p = finger_query;
    size_t left = sizeof finger_query - 1;
    while (left > 0) {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            report(3, "ckfinger: send %s: %s", nas, strerror(saved));
            errno = saved;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// The monotonic clock in milliseconds; false when it cannot be read.
bool finger_clock(long long *now_ms)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return false;
    *now_ms = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    return true;
}

// What is left of the budget that ends at `deadline_ms`, in milliseconds:
// 0 once it has run out, and also when the clock cannot be read, so that no
// wait goes on without a bound.  errno is kept.
int time_left(long long deadline_ms)
{
    int saved = errno;
    long long now;
    bool known = finger_clock(&now);
    errno = saved;
    if (!known || now >= deadline_ms)
        return 0;
    long long left = deadline_ms - now;
    return left < FINGER_TIMEOUT_MS ? static_cast<int>(left) : FINGER_TIMEOUT_MS;
}

// The finger socket never blocks.  Where the system can, socket() makes it
// so at once, which saves two calls per query.
#ifdef SOCK_NONBLOCK
const int nonblocking_type = SOCK_NONBLOCK;
#else
const int nonblocking_type = 0;
#endif

// Connects socket `s` to the address without blocking: the handshake is
// waited for with poll, at most for what is left of the budget.  0 once
// connected; -1 with the cause in errno, ETIMEDOUT when the time ran out.
int connect_within(int s, const struct addrinfo *ai, long long deadline_ms)
{
#ifndef SOCK_NONBLOCK
    int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
#endif
    if (connect(s, ai->ai_addr, ai->ai_addrlen) == 0)
        return 0;
    // An interrupted connect goes on in the background, as one in progress.
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    for (;;) {
        int left = time_left(deadline_ms);
        if (left == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pfd;
        pfd.fd = s;
        pfd.events = POLLOUT;
        pfd.revents = 0;
        int r = poll(&pfd, 1, left);
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (!(pfd.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)))
            continue;
        // The handshake is over.  Writable and nothing else: it succeeded.
        // With an error or hang-up beside it, SO_ERROR tells how it ended.
        if (!(pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return 0;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            return -1;
        if (error != 0) {
            errno = error;
            return -1;
        }
        return 0;
    }
}

// Connects to the finger service of `nas`: every address in turn, skipping
// those whose family or protocol the host cannot use.  The budget starts
// with the first connect (the name lookup keeps the resolver's own limits)
// and its end is left in *deadline_ms.  An address that does not answer in
// time uses up the budget, so no further address is tried after it.  -1
// when no address gave a connection (logged).
int connect_nas(const char *nas, long long *deadline_ms)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    hints.ai_flags = 0;

    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(nas, "finger", &hints, &list);
    if (rc != 0) {
        int saved = errno;
        report(3, "ckfinger: getaddrinfo %s failure: %s", nas, gai_strerror(rc));
        errno = saved;
        return -1;
    }

    long long start;
    *deadline_ms = finger_clock(&start) ? start + FINGER_TIMEOUT_MS : 0;
    int fd = -1;
    bool tried_connect = false;
    for (struct addrinfo *ai = list; ai; ai = ai->ai_next) {
        // errno keeps the last address's cause.
        if (tried_connect && time_left(*deadline_ms) == 0)
            break;
        // nonblocking_type is 0 only where SOCK_NONBLOCK is missing, and cppcheck
        // reads that branch.
        // cppcheck-suppress badBitmaskCheck
        int s = socket(ai->ai_family, ai->ai_socktype | nonblocking_type, ai->ai_protocol);
        if (s < 0) {
            if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)
                continue;
            int saved = errno;
            report(3, "ckfinger: socket: %s", strerror(saved));
            freeaddrinfo(list);
            errno = saved;
            return -1;
        }
        tried_connect = true;
        if (connect_within(s, ai, *deadline_ms) == 0) {
            fd = s;
            break;
        }
        int saved = errno;
        close(s);
        errno = saved;
    }
    int saved = errno;
    freeaddrinfo(list);
    if (fd < 0) {
        if (tried_connect)
            report(3, "ckfinger: connect %s: %s", nas, strerror(saved));
        else
            report(3, "ckfinger: socket: %s", strerror(saved));
    }
    errno = saved;
    return fd;
}

// A read that was interrupted, or that found nothing yet on the
// non-blocking socket after a wake-up, goes back to poll.
bool read_again(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// Reads the listing until the NAS closes the connection, fails, sends more
// than FINGER_MAX_LISTING bytes, or the budget runs out.  The buffer always
// keeps room for one more full read and the closing NUL.
char *read_listing(int fd, const char *nas, long long deadline_ms, int *length)
{
    char *buf = static_cast<char *>(zat_realloc(nullptr, FINGER_BUFFER_ROOM));
    int received = 0;
    for (;;) {
        struct pollfd pfd;
        pfd.fd = fd;
        pfd.events = POLLIN | POLLERR | POLLHUP | POLLNVAL;
        pfd.revents = 0;
        // A spent budget ends the reading as a poll time-out would.
        int left = time_left(deadline_ms);
        int r = left > 0 ? poll(&pfd, 1, left) : 0;
        if (r == 0) {
            report(7, "%s: timeout reading fd %d", session.peer_name, fd);
            break;
        }
        if (r < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            report(7, "%s: error in poll %s fd %d", session.peer_name, strerror(saved), fd);
            errno = saved;
            break;
        }
        // Data first.  A service that closes right after its listing, or
        // resets the connection because it never read our query line,
        // reports the listing together with the hang-up and error events;
        // the read then gives the data, and the end or the error after it.
        if (pfd.revents & POLLIN) {
            ssize_t n = read(fd, buf + received, FINGER_READ_SIZE);
            if (n < 0) {
                if (read_again(errno))
                    continue;
                // A reset behind the data is how such a service ends its
                // listing.
                if (errno == ECONNRESET && received > 0)
                    break;
                int saved = errno;
                report(7, "%s %s: error reading fd %d nread=%d %s", session.peer_name, session.addr_buf, fd,
                       static_cast<int>(n), strerror(saved));
                errno = saved;
                break;
            }
            if (n == 0)
                break;
            // Only a listing that goes on beyond the limit is cut; one of
            // exactly that size is ended by the close as any other.
            if (n > FINGER_MAX_LISTING - received) {
                received = FINGER_MAX_LISTING;
                report(3, "ckfinger: listing from %s cut at %d bytes", nas, received);
                break;
            }
            received += static_cast<int>(n);
            buf = static_cast<char *>(zat_realloc(buf, received + FINGER_BUFFER_ROOM));
            continue;
        }
        // Error events with nothing left to read.
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            report(7, "%s: exception on fd %d", session.peer_name, fd);
            break;
        }
        report(7, "%s: spurious return from poll", session.peer_name);
    }
    buf[received] = '\0';
    *length = received;
    return buf;
}

} // namespace

int count_listing(const char *listing, int length, const char *nas, const struct user_ident *id,
                  const char *reduced_port)
{
    if (length <= 0)
        return 0;
    const char *end = static_cast<const char *>(memchr(listing, '\0', static_cast<size_t>(length)));
    if (!end)
        end = listing + length;

    // Two heading lines.
    const char *p = listing;
    for (int heading = 0; heading < 2; heading++) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl)
            return 0;
        p = nl + 1;
    }

    // The caller's own session can only be in the listing of the caller's
    // NAS; `nas` is the name as the who-log stores it.
    long own_line = 0;
    bool may_discount = port_number(reduced_port, &own_line) &&
                        field_equals(nas, sizeof(wholog_entry::nas), id->nas);
    size_t user_length = strnlen(id->user, 11);

    int count = 0;
    while (p < end) {
        const char *line = p;
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *line_end = nl ? nl + 1 : end;
        p = line_end;
        if (line_end - line < 14)
            continue;

        long number;
        if (may_discount && read_int(line + 1, line_end, &number) && number == own_line) {
            if (debug & DEBUG_LIMIT_FLAG)
                report(7, "%s session on %s/%s discounted", id->user, id->nas, id->nas_port);
            continue;
        }

        // The name column: from index 13 to white space, at most 10 characters.
        const char *name = line + 13;
        size_t n = 0;
        while (n < 10 && name + n < line_end && !is_space(name[n]))
            n++;
        if (user_length == n && memcmp(id->user, name, n) == 0) {
            count++;
            if (debug & DEBUG_LIMIT_FLAG)
                report(7, "%s matches: %.*s", id->user, static_cast<int>(line_end - line), line);
        }
    }
    return count;
}

int parse_listing(const char *listing, int length, const char *nas, const struct user_ident *id)
{
    return count_listing(listing, length, nas, id, portname(id->nas_port));
}

int finger_receive(int fd, const char *nas, const struct user_ident *id, const char *reduced_port,
                   long long deadline_ms)
{
    int length = 0;
    char *listing = read_listing(fd, nas, deadline_ms, &length);
    int saved = errno;
    close(fd);
    errno = saved;

    if (length == 0) {
        report(3, "ckfinger: finger failure");
        free(listing);
        errno = saved;
        return 0;
    }
    int count = count_listing(listing, length, nas, id, reduced_port);
    free(listing);
    return count;
}

int ckfinger(const char *nas, const struct user_ident *id)
{
    const char *reduced_port = portname(id->nas_port);

    long long deadline_ms = 0;
    int fd = connect_nas(nas, &deadline_ms);
    if (fd < 0)
        return 0;
    send_query(fd, nas);
    return finger_receive(fd, nas, id, reduced_port, deadline_ms);
}

} // namespace zat_velor
