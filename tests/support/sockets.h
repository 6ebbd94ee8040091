// Connected socket pairs for tests: an AF_UNIX stream pair, and a loopback
// TCP connection (on which a closed peer reads as end of file, where an
// AF_UNIX pair reports a hang-up instead).
#ifndef ZAT_TEST_SOCKETS_H
#define ZAT_TEST_SOCKETS_H

#include <string>
#include <vector>

namespace zat_test {

struct socket_pair {
    int ours = -1;   // the daemon's end: session.conn_fd
    int peer = -1;   // the NAS's end, driven by the test
    socket_pair() = default;
    socket_pair(const socket_pair &) = delete;
    socket_pair &operator=(const socket_pair &) = delete;
    ~socket_pair() { close_all(); }
    void close_peer();
    void close_all();
};

bool make_unix_pair(socket_pair &pair);
// peer_rcvbuf > 0: the NAS's receive buffer, set before it connects, so
// that it takes only that much before the daemon's sends have to wait.
bool make_tcp_pair(socket_pair &pair, int peer_rcvbuf = 0);

// Writes all bytes (blocking); false on failure.
bool send_all(int fd, const void *data, size_t size);
inline bool send_all(int fd, const std::vector<unsigned char> &bytes)
{
    return send_all(fd, bytes.data(), bytes.size());
}
// Reads exactly size bytes (from a socket or a pipe), waiting at most
// timeout_ms for each chunk.
bool recv_exact(int fd, std::vector<unsigned char> &out, size_t size, int timeout_ms = 5000);

std::vector<unsigned char> from_hex(const std::string &hex);
std::string to_hex(const std::vector<unsigned char> &bytes);

} // namespace zat_test

#endif
