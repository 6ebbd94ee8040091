// The authorization and accounting reply builders with argument counts,
// argument lengths and text lengths around their limits.  What reaches the
// NAS must always be framed exactly (the length fields add up to the body),
// and it must be the reply as asked when every field fits, or the type's
// ERROR reply "reply too large" when one does not.
//
// Input: byte 0 picks the reply (bit 0: accounting) and its status; bytes
// 1-2 the argument count, 3-5 the server message length, 6-8 the data
// length (each big-endian, taken modulo a little over its limit); then two
// bytes per argument for its length.  The contents are filled from the
// input's bytes, without NULs.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/packet/packet.h"

namespace {

size_t number(const uint8_t *data, size_t size, size_t &at, int bytes)
{
    size_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | (at < size ? data[at++] : 0);
    return v;
}

// n bytes of text taken from the input in turn, NULs made 'x'.
std::string text(const uint8_t *data, size_t size, size_t n, size_t &fill)
{
    std::string s(n, 'x');
    for (size_t i = 0; i < n && size > 0; i++, fill++) {
        uint8_t b = data[fill % size];
        s[i] = b ? char(b) : 'x';
    }
    return s;
}

bool read_all(int fd, std::vector<uint8_t> &out, size_t n)
{
    out.resize(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, out.data() + got, n - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

size_t be16(const std::vector<uint8_t> &b, size_t at)
{
    return size_t(b[at]) << 8 | b[at + 1];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static bool once = false;
    if (!once) {
        standin_capture_reports(1);
        once = true;
    }
    standin_clear_reports();

    size_t at = 0;
    uint8_t mode = data[at++];
    bool acct = mode & 1;
    int status = mode >> 1;
    size_t count = number(data, size, at, 2) % 300;
    size_t msg_len = number(data, size, at, 3) % 65600;
    size_t dat_len = number(data, size, at, 3) % 65600;
    std::vector<size_t> lengths;
    for (size_t i = 0; i < count; i++)
        lengths.push_back(at + 1 < size ? number(data, size, at, 2) % 300 : 3);

    size_t fill = at;
    std::string msg = text(data, size, msg_len, fill);
    std::string dat = text(data, size, dat_len, fill);
    std::vector<std::string> args;
    std::vector<const char *> argv;
    for (size_t n : lengths)
        args.push_back(text(data, size, n, fill));
    for (const auto &a : args)
        argv.push_back(a.c_str());

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    int room = 1 << 20;  // a whole reply fits: nobody reads while it is sent
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    memset(&session, 0, sizeof session);
    session.conn_fd = fds[0];
    session.peer_name = "fuzz-nas";
    session.peer_addr = "192.0.2.9";  // no key: the body stays plain
    session.seq_no = 1;

    bool fits = msg_len <= 65535 && dat_len <= 65535;
    if (acct) {
        send_acct_reply(status, msg.c_str(), dat.c_str());
    } else {
        fits = fits && count <= 255;
        for (size_t n : lengths)
            fits = fits && n <= 255;
        send_author_reply(status, msg.c_str(), dat.c_str(), int(count), argv.data());
    }
    shutdown(fds[0], SHUT_WR);

    std::vector<uint8_t> header, body;
    if (!read_all(fds[1], header, 12))
        abort();  // every call sends one reply
    size_t length = size_t(header[8]) << 24 | size_t(header[9]) << 16 | size_t(header[10]) << 8 | header[11];
    if (!read_all(fds[1], body, length) || session.seq_no != 2 || header[2] != 2)
        abort();
    uint8_t extra;
    if (read(fds[1], &extra, 1) != 0)
        abort();  // nothing after the one reply

    // Taken apart as a NAS does it.
    std::string got_msg, got_dat;
    std::vector<std::string> got_args;
    int got_status;
    size_t pos;
    if (acct) {
        if (header[1] != TYPE_ACCT || length < 5)
            abort();
        got_status = body[4];
        pos = 5;
        size_t m = be16(body, 0), d = be16(body, 2);
        if (pos + m + d != length)
            abort();
        got_msg.assign(body.begin() + long(pos), body.begin() + long(pos + m));
        got_dat.assign(body.begin() + long(pos + m), body.begin() + long(pos + m + d));
    } else {
        if (header[1] != TYPE_AUTHOR || length < 6 || length < 6u + body[1])
            abort();
        got_status = body[0];
        size_t k = body[1], m = be16(body, 2), d = be16(body, 4);
        pos = 6 + k;
        size_t sum = pos + m + d;
        for (size_t i = 0; i < k; i++)
            sum += body[6 + i];
        if (sum != length)
            abort();
        got_msg.assign(body.begin() + long(pos), body.begin() + long(pos + m));
        pos += m;
        got_dat.assign(body.begin() + long(pos), body.begin() + long(pos + d));
        pos += d;
        for (size_t i = 0; i < k; i++) {
            got_args.emplace_back(body.begin() + long(pos), body.begin() + long(pos + body[6 + i]));
            pos += body[6 + i];
        }
    }

    if (fits) {
        if (got_status != (status & 0xff) || got_msg != msg || got_dat != dat || (!acct && got_args != args) ||
            standin_report_count() != 0)
            abort();
    } else {
        int error = acct ? ACCT_STATUS_ERROR : AUTHOR_STATUS_ERROR;
        if (got_status != error || got_msg != "reply too large" || !got_dat.empty() || !got_args.empty() ||
            standin_report_count() != 1 || standin_report_priority(0) != 3)
            abort();
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
