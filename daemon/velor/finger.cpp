// ckfinger(): connect to a NAS's finger service, send the query for all
// users, read the listing with a time-out on every wait, and count the lines
// that show the user.
#include "daemon/velor/finger.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
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

// Connects to the finger service of `nas`: every address in turn, skipping
// those whose family or protocol the host cannot use.  -1 when none gave a
// connection (logged).
int connect_nas(const char *nas)
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

    int fd = -1;
    bool tried_connect = false;
    for (struct addrinfo *ai = list; ai; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
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
        if (connect(s, ai->ai_addr, ai->ai_addrlen) == 0) {
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

// Reads the listing until the NAS closes the connection, stays silent for
// FINGER_TIMEOUT_MS, fails, or sends more than FINGER_MAX_LISTING bytes.  The
// buffer always keeps room for one more full read and the closing NUL.
char *read_listing(int fd, const char *nas, int *length)
{
    char *buf = static_cast<char *>(zat_realloc(nullptr, FINGER_BUFFER_ROOM));
    int received = 0;
    for (;;) {
        struct pollfd pfd;
        pfd.fd = fd;
        pfd.events = POLLIN | POLLERR | POLLHUP | POLLNVAL;
        pfd.revents = 0;
        int r = poll(&pfd, 1, FINGER_TIMEOUT_MS);
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
                if (errno == EINTR)
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

int ckfinger(const char *nas, const struct user_ident *id)
{
    const char *reduced_port = portname(id->nas_port);

    int fd = connect_nas(nas);
    if (fd < 0)
        return 0;
    send_query(fd, nas);

    int length = 0;
    char *listing = read_listing(fd, nas, &length);
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

} // namespace zat_velor
