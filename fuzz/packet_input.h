// Feeding fuzzer input to the packet module as if a NAS had sent it: the
// first byte picks the session's starting state, the rest goes through a
// real socket whose far end is then shut, so the module sees the bytes and
// then the end of the connection.
#ifndef ZAT_FUZZ_PACKET_INPUT_H
#define ZAT_FUZZ_PACKET_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"

namespace zat_fuzz {

constexpr size_t max_input = 150000;  // fits the socket buffer in one go

// Returns the daemon's end of the connection, or -1.
inline int connect_input(const uint8_t *data, size_t size, int &peer)
{
    static bool once = false;
    if (!once) {
        standin_capture_reports(1);
        standin_set_host_key("192.0.2.7", "fuzz-key");
        once = true;
    }
    standin_clear_reports();
    if (size == 0 || size > max_input)
        return -1;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    int room = 4 * int(max_input);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);

    uint8_t mode = data[0];
    memset(&session, 0, sizeof session);
    session.conn_fd = fds[0];
    session.peer_name = "fuzz-nas";
    // Bit 0: a key is configured for the NAS; bits 1-2: where the sequence starts.
    session.peer_addr = (mode & 1) ? "192.0.2.7" : "192.0.2.8";
    static const int starts[] = {0, 1, 2, 254};
    session.seq_no = starts[(mode >> 1) & 3];
    session.last_version = 0xc0;
    debug = (mode & 8) ? DEBUG_PACKET_FLAG : 0;

    size_t off = 1;
    while (off < size) {
        ssize_t n = write(fds[1], data + off, size - off);
        if (n <= 0)
            break;
        off += size_t(n);
    }
    shutdown(fds[1], SHUT_WR);
    peer = fds[1];
    return fds[0];
}

} // namespace zat_fuzz

#endif
