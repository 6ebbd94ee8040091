// The request decoders: authentication START and CONTINUE, authorization
// REQUEST and accounting REQUEST (RFC 8907 sections 5.1, 5.3, 6.1 and 7.1).
//
// Every check comes before any field is read, in this order: the struct and
// packet are there, the header's type, the body holds the fixed fields (and
// the argument length bytes), the lengths add up to exactly the body length,
// the accounting flags, and last no NUL byte in the texts that a daemon uses
// as C strings.  The body is never read past the length in the header.
//
// Layouts (offsets into the body; every length is one byte unless noted):
//
//   START     action priv_lvl authen_type authen_service
//             user_len port_len rem_addr_len data_len | user port rem_addr data
//   CONTINUE  user_msg_len(2) data_len(2) flags | user_msg data
//   REQUEST   [acct: flags] authen_method priv_lvl authen_type authen_service
//             user_len port_len rem_addr_len arg_cnt arg_1_len ... arg_N_len
//             | user port rem_addr arg_1 ... arg_N
//
// The texts after the fixed fields follow one another without gaps, so one
// memchr over user, port and remote address (and the arguments) finds any
// NUL byte, and only a refusal works out which field it lies in.
#include "daemon/packet/request.h"

#include <stdint.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"

namespace {

const char *const error_texts[] = {
    "no error",
    "no packet",
    "wrong packet type",
    "body shorter than its fixed fields",
    "field lengths exceed the body length",
    "field lengths fall short of the body length",
    "NUL byte in the user name",
    "NUL byte in the port",
    "NUL byte in the remote address",
    "NUL byte in an argument",
    "NUL byte in the user message",
    "invalid accounting flags",
};

const char start_name[] = "authentication start";
const char continue_name[] = "authentication continue";
const char author_name[] = "authorization request";
const char acct_name[] = "accounting request";

// Logs the refusal and clears the caller's struct, so that a caller who
// ignores the result still finds no views.
int refuse(const char *request, int code, void *out, size_t size)
{
    if (out)
        memset(out, 0, size);
    report(3, "%s: %s refused: %s", session.peer_name, request, zat_request_error_text(code));
    return code;
}

int compare_lengths(uint32_t fields, uint32_t body)
{
    if (fields > body)
        return ZAT_REQ_LENGTHS_OVER_BODY;
    if (fields < body)
        return ZAT_REQ_LENGTHS_UNDER_BODY;
    return ZAT_REQ_OK;
}

// The field of a NUL byte found `at` bytes into user, port and remote address
// (and the arguments after them).
int nul_code(uint32_t at, uint32_t user_len, uint32_t port_len, uint32_t rem_addr_len)
{
    if (at < user_len)
        return ZAT_REQ_NUL_IN_USER;
    if (at < user_len + port_len)
        return ZAT_REQ_NUL_IN_PORT;
    if (at < user_len + port_len + rem_addr_len)
        return ZAT_REQ_NUL_IN_REM_ADDR;
    return ZAT_REQ_NUL_IN_ARG;
}

const char *find_nul(const unsigned char *from, uint32_t count)
{
    return static_cast<const char *>(memchr(from, 0, count));
}

zat_bytes view(const unsigned char *at, uint32_t len)
{
    return zat_bytes{reinterpret_cast<const char *>(at), static_cast<int>(len)};
}

// The sum of n ≤ 255 argument length bytes, eight at a time: the bytes of
// each word are added in pairs into four 16-bit lanes, which hold at most
// 32 words × 2 × 255 = 16320 each, and the four lanes together at most
// 65280, so no lane overflows into the next.
uint32_t sum_lengths(const unsigned char *lengths, uint32_t n)
{
    const uint64_t low_bytes = 0x00ff00ff00ff00ffULL;
    uint64_t lanes = 0;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        memcpy(&word, lengths + i, sizeof word);
        lanes += (word & low_bytes) + ((word >> 8) & low_bytes);
    }
    uint32_t sum = static_cast<uint32_t>((lanes * 0x0001000100010001ULL) >> 48);
    for (; i < n; i++)
        sum += lengths[i];
    return sum;
}

bool valid_acct_flags(unsigned char flags)
{
    switch (flags & ZAT_ACCT_FLAG_MASK) {
    case ZAT_ACCT_FLAG_START:
    case ZAT_ACCT_FLAG_STOP:
    case ZAT_ACCT_FLAG_WATCHDOG:
    case ZAT_ACCT_FLAG_WATCHDOG | ZAT_ACCT_FLAG_START:
        return true;
    default:
        return false;
    }
}

// Authorization and accounting requests share everything from authen_method
// on; an accounting request has its flags byte before it.  R is
// zat_author_request or zat_acct_request.
template <typename R>
int decode_arg_request(const unsigned char *packet, R *out, unsigned char type, uint32_t lead, const char *name)
{
    if (!packet || !out)
        return refuse(name, ZAT_REQ_NO_PACKET, out, sizeof *out);
    if (packet[1] != type)
        return refuse(name, ZAT_REQ_WRONG_TYPE, out, sizeof *out);
    const uint32_t length = zat_packet::get_be32(packet + 8);
    const unsigned char *body = packet + HEADER_SIZE;
    const uint32_t fixed = lead + 8;
    if (length < fixed)
        return refuse(name, ZAT_REQ_SHORT_BODY, out, sizeof *out);
    const unsigned char *f = body + lead; // authen_method
    const uint32_t arg_cnt = f[7];
    if (length - fixed < arg_cnt)
        return refuse(name, ZAT_REQ_SHORT_BODY, out, sizeof *out);

    const unsigned char *arg_lens = body + fixed;
    const uint32_t user_len = f[4], port_len = f[5], rem_addr_len = f[6];
    const uint32_t texts_len = user_len + port_len + rem_addr_len + sum_lengths(arg_lens, arg_cnt);
    int code = compare_lengths(fixed + arg_cnt + texts_len, length);
    if (code != ZAT_REQ_OK)
        return refuse(name, code, out, sizeof *out);
    if (lead && !valid_acct_flags(body[0]))
        return refuse(name, ZAT_REQ_BAD_ACCT_FLAGS, out, sizeof *out);
    const unsigned char *texts = arg_lens + arg_cnt;
    if (const char *nul = find_nul(texts, texts_len))
        return refuse(name,
                      nul_code(uint32_t(nul - reinterpret_cast<const char *>(texts)), user_len, port_len, rem_addr_len),
                      out, sizeof *out);

    out->authen_method = f[0];
    out->priv_lvl = f[1];
    out->authen_type = f[2];
    out->authen_service = f[3];
    out->user = view(texts, user_len);
    out->port = view(texts + user_len, port_len);
    out->rem_addr = view(texts + user_len + port_len, rem_addr_len);
    const unsigned char *at = texts + user_len + port_len + rem_addr_len;
    out->arg_cnt = static_cast<int>(arg_cnt);
    for (uint32_t i = 0; i < arg_cnt; i++) {
        uint32_t len = arg_lens[i];  // read once: the stores below may alias it
        out->args[i] = view(at, len);
        at += len;
    }
    return ZAT_REQ_OK;
}

} // namespace

extern "C" {

__attribute__((weak)) const char *zat_request_error_text(int code)
{
    if (code < 0 || code >= int(sizeof error_texts / sizeof error_texts[0]))
        return "unknown request error";
    return error_texts[code];
}

__attribute__((weak)) int zat_decode_authen_start(const unsigned char *packet, struct zat_authen_start *out)
{
    if (!packet || !out)
        return refuse(start_name, ZAT_REQ_NO_PACKET, out, sizeof *out);
    if (packet[1] != TYPE_AUTHEN)
        return refuse(start_name, ZAT_REQ_WRONG_TYPE, out, sizeof *out);
    const uint32_t length = zat_packet::get_be32(packet + 8);
    const unsigned char *body = packet + HEADER_SIZE;
    if (length < 8)
        return refuse(start_name, ZAT_REQ_SHORT_BODY, out, sizeof *out);
    const uint32_t user_len = body[4], port_len = body[5], rem_addr_len = body[6], data_len = body[7];
    int code = compare_lengths(8 + user_len + port_len + rem_addr_len + data_len, length);
    if (code != ZAT_REQ_OK)
        return refuse(start_name, code, out, sizeof *out);
    // The data is binary for CHAP and the like, and may hold NUL bytes.
    const unsigned char *texts = body + 8;
    if (const char *nul = find_nul(texts, user_len + port_len + rem_addr_len))
        return refuse(start_name,
                      nul_code(uint32_t(nul - reinterpret_cast<const char *>(texts)), user_len, port_len, rem_addr_len),
                      out, sizeof *out);

    out->action = body[0];
    out->priv_lvl = body[1];
    out->authen_type = body[2];
    out->authen_service = body[3];
    out->user = view(texts, user_len);
    out->port = view(texts + user_len, port_len);
    out->rem_addr = view(texts + user_len + port_len, rem_addr_len);
    out->data = view(texts + user_len + port_len + rem_addr_len, data_len);
    return ZAT_REQ_OK;
}

__attribute__((weak)) int zat_decode_authen_continue(const unsigned char *packet, struct zat_authen_continue *out)
{
    if (!packet || !out)
        return refuse(continue_name, ZAT_REQ_NO_PACKET, out, sizeof *out);
    if (packet[1] != TYPE_AUTHEN)
        return refuse(continue_name, ZAT_REQ_WRONG_TYPE, out, sizeof *out);
    const uint32_t length = zat_packet::get_be32(packet + 8);
    const unsigned char *body = packet + HEADER_SIZE;
    if (length < 5)
        return refuse(continue_name, ZAT_REQ_SHORT_BODY, out, sizeof *out);
    // get_authen_continue() has turned the two lengths to host order.
    uint16_t user_msg_len, data_len;
    memcpy(&user_msg_len, body, sizeof user_msg_len);
    memcpy(&data_len, body + 2, sizeof data_len);
    int code = compare_lengths(5u + user_msg_len + data_len, length);
    if (code != ZAT_REQ_OK)
        return refuse(continue_name, code, out, sizeof *out);
    // The user message is what the user typed, a password among others: a
    // NUL byte in it would cut it short wherever it is used as a C string
    // (crypt(), strcmp()), so "demo\0anything" could pass for "demo".
    if (find_nul(body + 5, user_msg_len))
        return refuse(continue_name, ZAT_REQ_NUL_IN_USER_MSG, out, sizeof *out);

    out->flags = body[4];
    out->user_msg = view(body + 5, user_msg_len);
    out->data = view(body + 5 + user_msg_len, data_len);
    return ZAT_REQ_OK;
}

__attribute__((weak)) int zat_decode_author_request(const unsigned char *packet, struct zat_author_request *out)
{
    return decode_arg_request(packet, out, TYPE_AUTHOR, 0, author_name);
}

__attribute__((weak)) int zat_decode_acct_request(const unsigned char *packet, struct zat_acct_request *out)
{
    int code = decode_arg_request(packet, out, TYPE_ACCT, 1, acct_name);
    if (code == ZAT_REQ_OK)
        out->flags = packet[HEADER_SIZE];
    return code;
}

} // extern "C"
