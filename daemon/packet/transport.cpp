// Reading and writing whole TACACS+ packets on the NAS connection.
//
// Every transfer is preceded by a poll() of at most IO_TIMEOUT_MS, so the
// time-out bounds the silence between two chunks, not the whole packet.
// Messages about the connection are debug lines (priority 7) that begin with
// the NAS name; malformed packets and key failures are errors (priority 3).
//
// No transfer call ever waits by itself: poll() reports room when there is
// some, not room for the whole rest of a reply, so a blocking write() could
// wait without end for a NAS that has stopped reading.  Replies therefore
// go out with send(MSG_DONTWAIT | MSG_NOSIGNAL), which takes what fits and
// raises no SIGPIPE when the NAS has gone.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"

namespace zat_packet {

namespace {

constexpr short error_events = POLLERR | POLLHUP | POLLNVAL;

// One transfer of at most `count` bytes that does not wait.  A descriptor
// that is not a socket (a pipe or terminal that a daemon was started on)
// cannot take send(); from the first ENOTSOCK on it is written with write()
// in pieces of at most PIPE_BUF bytes, which a pipe that poll() reported
// writable takes whole without waiting.  A failure leaves errno set;
// EAGAIN/EWOULDBLOCK mean that the room poll() saw is gone.
ssize_t transfer(int fd, const unsigned char *data, size_t count, bool &not_socket)
{
    if (!not_socket) {
        ssize_t put = send(fd, data, count, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (put >= 0 || errno != ENOTSOCK)
            return put;
        not_socket = true;
    }
    return write(fd, data, count < PIPE_BUF ? count : PIPE_BUF);
}

} // namespace

const char *session_key(void)
{
    const char *key = cfg_get_host_key(session.peer_addr);
    if (!key && strcmp(session.peer_name, session.peer_addr) != 0)
        key = cfg_get_host_key(session.peer_name);
    if (!key)
        key = session.default_key;
    return key;
}

int sockread(int fd, unsigned char *buffer, int count)
{
    if (count <= 0)
        return 0;

    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN | error_events;

    int remaining = count;
    unsigned char *pos = buffer;
    while (remaining > 0) {
        pfd.revents = 0;
        int ready = poll(&pfd, 1, IO_TIMEOUT_MS);
        if (ready == 0) {
            report(7, "%s: timeout reading fd %d", session.peer_name, fd);
            return -1;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            report(7, "%s: error in poll %s fd %d", session.peer_name, strerror(saved), fd);
            errno = saved;
            return -1;
        }
        // A hang-up reported together with data ends the read.
        if (pfd.revents & error_events) {
            int saved = errno;
            report(7, "%s: exception on fd %d", session.peer_name, fd);
            errno = saved;
            return -1;
        }
        if (pfd.revents & POLLIN) {
            ssize_t got;
            do
                got = read(fd, pos, static_cast<size_t>(remaining));
            while (got < 0 && errno == EINTR);
            if (got < 0) {
                int saved = errno;
                report(7, "%s %s: error reading fd %d nread=%d %s", session.peer_name,
                       session.addr_buf, fd, static_cast<int>(got), strerror(saved));
                errno = saved;
                return -1;
            }
            if (got == 0) {
                report(7, "%s %s: fd %d eof (connection closed)", session.peer_name,
                       session.addr_buf, fd);
                errno = 0;
                return -1;
            }
            pos += got;
            remaining -= static_cast<int>(got);
            continue;
        }
        int saved = errno;
        report(7, "%s: spurious return from poll", session.peer_name);
        errno = saved;
    }
    return count;
}

void write_packet(unsigned char *packet)
{
    // The length is taken before md5_xor() touches the packet.
    int total = HEADER_SIZE + static_cast<int>(get_be32(packet + 8));

    if (md5_xor(packet, packet + HEADER_SIZE, session_key()) != 0) {
        report(3, "%s: write_packet: error encrypting data", session.peer_name);
        return;
    }

    int fd = session.conn_fd;
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLOUT | error_events;

    int sent = 0;
    bool not_socket = false;
    // Set while sends find no room although poll() reported some: the clock
    // then bounds the wait, since poll() returns at once every time.
    bool stalled = false;
    struct timespec stalled_since = {0, 0};
    while (sent < total) {
        pfd.revents = 0;
        int ready = poll(&pfd, 1, IO_TIMEOUT_MS);
        if (ready <= 0 || (pfd.revents & error_events)) {
            int saved = errno;
            if (ready == 0)
                report(7, "%s: timeout writing to fd %d", session.peer_name, fd);
            else if (ready < 0) // EINTR too: a signal abandons the packet
                report(7, "%s: error in poll fd %d", session.peer_name, fd);
            else
                report(7, "%s: exception on fd %d", session.peer_name, fd);
            errno = saved;
            return;
        }
        if (!(pfd.revents & POLLOUT)) {
            report(7, "%s: spurious return from poll", session.peer_name);
            continue;
        }
        ssize_t put = transfer(fd, packet + sent, static_cast<size_t>(total - sent), not_socket);
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int saved = errno;
            struct timespec now = {0, 0};
            // Without a clock the wait cannot be bounded: give up at once.
            bool clock_ok = clock_gettime(CLOCK_MONOTONIC, &now) == 0;
            errno = saved;
            if (clock_ok && !stalled) {
                stalled = true;
                stalled_since = now;
            } else if (!clock_ok || now.tv_sec - stalled_since.tv_sec >= IO_TIMEOUT_MS / 1000) {
                report(7, "%s: timeout writing to fd %d", session.peer_name, fd);
                errno = saved;
                return;
            }
            continue;
        }
        if (put <= 0) {
            int saved = errno;
            report(7, "%s: error writing fd %d sent=%d", session.peer_name, fd, static_cast<int>(put));
            errno = saved;
            return;
        }
        sent += static_cast<int>(put);
        stalled = false;
    }
    session.last_activity = time(nullptr);
}

} // namespace zat_packet
