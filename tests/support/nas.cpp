#include "tests/support/nas.h"

#include <algorithm>

#include "daemon/obfuscation/obfuscation.h"
#include "tests/support/sockets.h"

namespace zat_test {
namespace {

void append(bytes &b, const std::string &s)
{
    b.insert(b.end(), s.begin(), s.end());
}

// The fields that authorization and accounting requests share, after their
// leading byte(s): method, priv, type, service, lengths, arguments.
bytes request_tail(const std::string &user, const std::string &port, const std::string &rem_addr,
                   const std::vector<std::string> &args)
{
    bytes b = {0x06, 0x01, 0x01, 0x01,  // method TACACSPLUS, priv 1, ASCII, LOGIN
               static_cast<unsigned char>(user.size()), static_cast<unsigned char>(port.size()),
               static_cast<unsigned char>(rem_addr.size()), static_cast<unsigned char>(args.size())};
    for (const auto &a : args)
        b.push_back(static_cast<unsigned char>(a.size()));
    append(b, user);
    append(b, port);
    append(b, rem_addr);
    for (const auto &a : args)
        append(b, a);
    return b;
}

} // namespace

bytes authen_start_body(const std::string &user, const std::string &port, const std::string &rem_addr,
                        const std::string &data)
{
    bytes b = {0x01, 0x01, 0x01, 0x01,  // LOGIN, priv 1, ASCII, service LOGIN
               static_cast<unsigned char>(user.size()), static_cast<unsigned char>(port.size()),
               static_cast<unsigned char>(rem_addr.size()), static_cast<unsigned char>(data.size())};
    append(b, user);
    append(b, port);
    append(b, rem_addr);
    append(b, data);
    return b;
}

bytes authen_continue_body(const std::string &user_msg, const std::string &data, unsigned char flags)
{
    bytes b = {static_cast<unsigned char>(user_msg.size() >> 8), static_cast<unsigned char>(user_msg.size()),
               static_cast<unsigned char>(data.size() >> 8), static_cast<unsigned char>(data.size()), flags};
    append(b, user_msg);
    append(b, data);
    return b;
}

bytes author_request_body(const std::string &user, const std::string &port, const std::string &rem_addr,
                          const std::vector<std::string> &args)
{
    return request_tail(user, port, rem_addr, args);
}

bytes acct_request_body(unsigned char flags, const std::string &user, const std::string &port,
                        const std::string &rem_addr, const std::vector<std::string> &args)
{
    bytes b = {flags};
    bytes tail = request_tail(user, port, rem_addr, args);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

bytes frame(unsigned char version, unsigned char type, unsigned char seq, unsigned char flags, uint32_t session_id,
            const bytes &body, const char *key)
{
    uint32_t n = static_cast<uint32_t>(body.size());
    bytes p(12 + body.size());
    p[0] = version;
    p[1] = type;
    p[2] = seq;
    p[3] = flags;
    for (int i = 0; i < 4; i++) {
        p[4 + i] = static_cast<unsigned char>(session_id >> (24 - 8 * i));
        p[8 + i] = static_cast<unsigned char>(n >> (24 - 8 * i));
    }
    std::copy(body.begin(), body.end(), p.begin() + 12);
    if (key && !(flags & 0x01))
        zat_obfuscate_body(p.data(), p.data() + 12, key);
    return p;
}

bool read_reply(int fd, const char *key, reply &out)
{
    bytes header, body;
    if (!recv_exact(fd, header, 12))
        return false;
    uint32_t n = (uint32_t(header[8]) << 24) | (uint32_t(header[9]) << 16) | (uint32_t(header[10]) << 8) | header[11];
    if (n > 0 && !recv_exact(fd, body, n))
        return false;
    out.wire = header;
    out.wire.insert(out.wire.end(), body.begin(), body.end());
    out.plain = out.wire;
    if (key && !(out.plain[3] & 0x01))
        zat_obfuscate_body(out.plain.data(), out.plain.data() + 12, key);
    return true;
}

namespace {

// Takes n bytes at `at` if the body still has them; false (and at moved to
// the end) if it does not.
bool take(const bytes &body, size_t &at, size_t n, std::string &out)
{
    if (at > body.size() || n > body.size() - at) {
        out.assign(body.begin() + static_cast<long>(std::min(at, body.size())), body.end());
        at = body.size();
        return false;
    }
    out.assign(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + n));
    at += n;
    return true;
}

size_t be16(const bytes &b, size_t at)
{
    return size_t(b[at]) << 8 | b[at + 1];
}

} // namespace

decoded_reply decode_author_response(const bytes &body)
{
    // status, arg_cnt, server_msg_len, data_len, arg_cnt length bytes,
    // server_msg, data, the arguments.
    decoded_reply r;
    if (body.size() < 6)
        return r;
    r.status = body[0];
    size_t count = body[1];
    size_t msg_len = be16(body, 2), data_len = be16(body, 4);
    if (body.size() < 6 + count)
        return r;
    size_t at = 6 + count;
    bool whole = take(body, at, msg_len, r.server_msg) && take(body, at, data_len, r.data);
    for (size_t i = 0; whole && i < count; i++) {
        std::string arg;
        whole = take(body, at, body[6 + i], arg);
        r.args.push_back(arg);
    }
    r.framed = whole && at == body.size();
    return r;
}

decoded_reply decode_acct_reply(const bytes &body)
{
    // server_msg_len, data_len, status, server_msg, data.
    decoded_reply r;
    if (body.size() < 5)
        return r;
    r.status = body[4];
    size_t at = 5;
    bool whole = take(body, at, be16(body, 0), r.server_msg) && take(body, at, be16(body, 2), r.data);
    r.framed = whole && at == body.size();
    return r;
}

bool nas_link::connect(const char *shared_key)
{
    key = shared_key;
    return make_tcp_pair(link);
}

bytes nas_link::send(unsigned char type, unsigned char seq, unsigned char flags, const bytes &body,
                     unsigned char version)
{
    bytes wire = frame(version, type, seq, flags, session_id, body, key);
    cap.from_nas(wire);
    if (!send_all(link.peer, wire))
        wire.clear();
    return wire;
}

reply nas_link::receive()
{
    reply r;
    if (read_reply(link.peer, key, r))
        cap.from_server(r.wire);
    return r;
}

} // namespace zat_test
