#include "tests/support/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zat_test {

void socket_pair::close_all()
{
    if (ours >= 0)
        close(ours);
    ours = -1;
    close_peer();
}

void socket_pair::close_peer()
{
    if (peer >= 0)
        close(peer);
    peer = -1;
}

bool make_unix_pair(socket_pair &pair)
{
    pair.close_all();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    pair.ours = fds[0];
    pair.peer = fds[1];
    return true;
}

bool make_tcp_pair(socket_pair &pair, int peer_rcvbuf)
{
    pair.close_all();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
    int client = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    ok = client >= 0 &&
         (peer_rcvbuf <= 0 || setsockopt(client, SOL_SOCKET, SO_RCVBUF, &peer_rcvbuf, sizeof peer_rcvbuf) == 0) &&
         connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    int server = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    if (server < 0) {
        if (client >= 0)
            close(client);
        return false;
    }
    int one = 1;
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pair.ours = server;
    pair.peer = client;
    return true;
}

bool send_all(int fd, const void *data, size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool recv_exact(int fd, std::vector<unsigned char> &out, size_t size, int timeout_ms)
{
    out.clear();
    unsigned char buf[4096];
    while (out.size() < size) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeout_ms) <= 0)
            return false;
        size_t want = size - out.size() < sizeof buf ? size - out.size() : sizeof buf;
        ssize_t n = ::read(fd, buf, want);  // sockets and pipes alike
        if (n <= 0)
            return false;
        out.insert(out.end(), buf, buf + n);
    }
    return true;
}

std::vector<unsigned char> from_hex(const std::string &hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

} // namespace zat_test
