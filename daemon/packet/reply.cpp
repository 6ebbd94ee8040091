// The reply builders: authentication REPLY, authorization RESPONSE and
// accounting REPLY (RFC 8907 sections 5.2, 6.2 and 7.2), and the error replies.
//
// Each reply is built in one exactly sized, zeroed block.  Its two 16-bit
// length fields stay in host order until after the debug dump, and are turned
// to wire order in place just before write_packet().
//
// A reply whose texts or arguments do not fit their length fields is never
// sent cut: a NAS would read the bytes past a wrapped length as the next
// field, and a cut "attribute=value" pair can mean something else.  It is
// logged and answered with the type's error reply instead.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"
#include "daemon/packet/transport.h"

using zat_packet::put_be32;

namespace {

// Room for the text of an error reply: 1280 characters and the terminator.
constexpr int error_text_size = 1281;

// What the length fields of the authorization and accounting replies carry.
constexpr size_t max_text = ZAT_MAX_REPLY_TEXT;
constexpr size_t max_args = ZAT_MAX_REPLY_ARGS;
constexpr size_t max_arg_len = ZAT_MAX_REPLY_ARG_LEN;

// Server message of the error reply that replaces one over a limit.
const char too_large[] = "reply too large";

// 0x01 always; 0x04 too when the NAS asked for single-connection mode and the
// daemon has not ruled it out.  No other request flag is echoed.
unsigned char reply_flags(void)
{
    unsigned char flags = FLAG_UNENCRYPTED;
    if ((session.last_hdr_flags & FLAG_SINGLE_CONNECT) && !(session.opt_flags & OPT_NO_SINGLE_CONNECT))
        flags |= FLAG_SINGLE_CONNECT;
    return flags;
}

unsigned char *new_reply(unsigned char version, unsigned char type, int total)
{
    unsigned char *packet = static_cast<unsigned char *>(zat_malloc(total));
    memset(packet, 0, static_cast<size_t>(total));
    packet[0] = version;
    packet[1] = type;
    session.seq_no++;
    packet[2] = static_cast<unsigned char>(session.seq_no & 0xff);
    packet[3] = reply_flags();
    put_be32(packet + 4, static_cast<uint32_t>(session.session_id));
    put_be32(packet + 8, static_cast<uint32_t>(total - HEADER_SIZE));
    return packet;
}

void put_host16(unsigned char *field, uint16_t value)
{
    memcpy(field, &value, sizeof value);
}

void host16_to_wire(unsigned char *field)
{
    uint16_t value;
    memcpy(&value, field, sizeof value);
    field[0] = static_cast<unsigned char>(value >> 8);
    field[1] = static_cast<unsigned char>(value);
}

unsigned char *put_bytes(unsigned char *to, const char *from, size_t n)
{
    if (n)
        memcpy(to, from, n);
    return to + n;
}

size_t text_length(const char *text)
{
    return text ? strlen(text) : 0;
}

// Trace, turn the two length fields to wire order, send and free.
void finish_reply(unsigned char *packet, int total, unsigned char *len1, unsigned char *len2)
{
    if (debug & DEBUG_PACKET_FLAG) {
        report(7, "Writing %s size=%d", summarise_outgoing_packet_type(packet), total);
        dump_tacacs_pak(packet);
    }
    host16_to_wire(len1);
    host16_to_wire(len2);
    zat_packet::write_packet(packet);
    free(packet);
}

// Builds and sends an authorization RESPONSE whose fields are known to fit;
// arg_lens holds the length of each argument, measured once by the caller.
void author_reply(int status, const char *server_msg, size_t msg_len, const char *data, size_t dat_len, int count,
                  const char *const *args, const unsigned char *arg_lens)
{
    size_t args_len = 0;
    for (int i = 0; i < count; i++)
        args_len += arg_lens[i];
    int total = static_cast<int>(HEADER_SIZE + 6 + count + msg_len + dat_len + args_len);

    unsigned char *packet = new_reply(VERSION_DEFAULT, TYPE_AUTHOR, total);
    unsigned char *body = packet + HEADER_SIZE;
    body[0] = static_cast<unsigned char>(status);
    body[1] = static_cast<unsigned char>(count);
    put_host16(body + 2, static_cast<uint16_t>(msg_len));
    put_host16(body + 4, static_cast<uint16_t>(dat_len));
    if (count)
        memcpy(body + 6, arg_lens, static_cast<size_t>(count));
    unsigned char *at = put_bytes(body + 6 + count, server_msg, msg_len);
    at = put_bytes(at, data, dat_len);
    for (int i = 0; i < count; i++)
        at = put_bytes(at, args[i], arg_lens[i]);
    finish_reply(packet, total, body + 2, body + 4);
}

// Builds and sends an accounting REPLY whose texts are known to fit.
void acct_reply(int status, const char *server_msg, size_t msg_len, const char *data, size_t dat_len)
{
    int total = static_cast<int>(HEADER_SIZE + 5 + msg_len + dat_len);

    unsigned char *packet = new_reply(VERSION_DEFAULT, TYPE_ACCT, total);
    unsigned char *body = packet + HEADER_SIZE;
    put_host16(body + 0, static_cast<uint16_t>(msg_len));
    put_host16(body + 2, static_cast<uint16_t>(dat_len));
    body[4] = static_cast<unsigned char>(status);
    put_bytes(put_bytes(body + 5, server_msg, msg_len), data, dat_len);
    finish_reply(packet, total, body + 0, body + 2);
}

// True when the two texts of a reply fit their 16-bit lengths; otherwise
// logs the first that does not, for a reply of the named kind.
bool texts_fit(const char *kind, size_t msg_len, size_t dat_len)
{
    if (msg_len > max_text) {
        report(3, "%s: %s reply too large: server message is %zu bytes, at most %zu", session.peer_name, kind,
               msg_len, max_text);
        return false;
    }
    if (dat_len > max_text) {
        report(3, "%s: %s reply too large: data is %zu bytes, at most %zu", session.peer_name, kind, dat_len,
               max_text);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

__attribute__((weak)) void send_authen_reply(int status, const char *server_msg, uint16_t server_msg_len,
                                             const char *data, uint16_t data_len, int flags)
{
    uint16_t msg_len = server_msg ? server_msg_len : 0;
    uint16_t dat_len = data ? data_len : 0;
    int total = HEADER_SIZE + 6 + msg_len + dat_len;
    unsigned char *packet = new_reply(session.last_version, TYPE_AUTHEN, total);
    unsigned char *body = packet + HEADER_SIZE;
    body[0] = static_cast<unsigned char>(status);
    body[1] = static_cast<unsigned char>(flags);
    put_host16(body + 2, msg_len);
    put_host16(body + 4, dat_len);
    put_bytes(put_bytes(body + 6, server_msg, msg_len), data, dat_len);
    finish_reply(packet, total, body + 2, body + 4);
}

__attribute__((weak)) void send_author_reply(int status, const char *server_msg, const char *data, int arg_cnt,
                                             const char *const *args)
{
    // A negative count is taken as no arguments.
    int count = arg_cnt > 0 ? arg_cnt : 0;
    size_t msg_len = text_length(server_msg);
    size_t dat_len = text_length(data);

    bool fits = true;
    unsigned char arg_lens[ZAT_MAX_REPLY_ARGS];
    if (size_t(count) > max_args) {
        report(3, "%s: authorization reply too large: %d arguments, at most %zu", session.peer_name, count,
               max_args);
        fits = false;
    }
    for (int i = 0; fits && i < count; i++) {
        // send_error_reply() passes null args with a count of 0, so this loop
        // never reads them; cppcheck does not follow the count.
        // cppcheck-suppress nullPointer
        size_t len = strlen(args[i]);
        if (len > max_arg_len) {
            report(3, "%s: authorization reply too large: argument %d is %zu bytes, at most %zu",
                   session.peer_name, i + 1, len, max_arg_len);
            fits = false;
        }
        arg_lens[i] = static_cast<unsigned char>(len);
    }
    if (fits && texts_fit("authorization", msg_len, dat_len))
        author_reply(status, server_msg, msg_len, data, dat_len, count, args, arg_lens);
    else
        author_reply(AUTHOR_STATUS_ERROR, too_large, strlen(too_large), nullptr, 0, 0, nullptr, nullptr);
}

__attribute__((weak)) void send_acct_reply(int status, const char *server_msg, const char *data)
{
    size_t msg_len = text_length(server_msg);
    size_t dat_len = text_length(data);
    if (texts_fit("accounting", msg_len, dat_len))
        acct_reply(status, server_msg, msg_len, data, dat_len);
    else
        acct_reply(ACCT_STATUS_ERROR, too_large, strlen(too_large), nullptr, 0);
}

__attribute__((weak)) void send_authen_error(const char *msg)
{
    char text[error_text_size];
    if (snprintf(text, sizeof text, "%s %s: %s", session.peer_name, session.addr_buf, msg) < 0)
        text[0] = '\0';
    report(3, "%s", text);
    send_authen_reply(AUTHEN_STATUS_ERROR, text, static_cast<uint16_t>(strlen(text)), nullptr, 0, 0);
}

__attribute__((weak)) void send_error_reply(int type, const char *msg)
{
    switch (type) {
    case TYPE_AUTHEN:
        send_authen_error(msg);
        break;
    case TYPE_AUTHOR:
        send_author_reply(AUTHOR_STATUS_ERROR, msg, nullptr, 0, nullptr);
        break;
    case TYPE_ACCT:
        send_acct_reply(ACCT_STATUS_ERROR, msg, nullptr);
        break;
    default:
        report(3, "Illegal type %d for send_error_reply", type);
        break;
    }
}

} // extern "C"
