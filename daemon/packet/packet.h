/*
 * The packet module: reads TACACS+ packets (RFC 8907) from the NAS connection
 * of the daemon's current session and sends the replies.
 *
 * A packet in memory is one block from zat_malloc(): the 12-byte header in
 * wire byte order, then the body.  A packet that a call returns belongs to
 * the caller, who releases it with free().
 *
 * What the daemon keeps in the session record:
 *   - session.session_id: the module copies it into every reply header but
 *     never sets it.  Take it from each request's header (bytes 4-7,
 *     big-endian) before answering, so that the reply carries the session id
 *     of the request that it answers.
 *   - session.seq_no: the module adds 1 for every packet read and every
 *     reply sent, so a TACACS+ session expects requests 1, 3, 5 ... and
 *     answers 2, 4, 6 ...  Set it back to 0 whenever a new TACACS+ session
 *     starts on the connection (after each finished exchange, so that the
 *     next request, with sequence number 1, is accepted); a request of a
 *     new session is refused otherwise.
 *
 * Writing never waits outside poll(): replies go out with
 * send(MSG_DONTWAIT | MSG_NOSIGNAL), so a NAS that stops reading costs at
 * most IO_TIMEOUT_MS of silence, and one that has gone raises no SIGPIPE.
 * A descriptor that is not a socket (a pipe, a terminal) is written with
 * write() in pieces of at most PIPE_BUF bytes; a daemon served through a
 * pipe should still ignore SIGPIPE.
 *
 * The entry points are weak definitions: a daemon that defines a function of
 * the same name gets its own in their place.
 */
#ifndef ZAT_DAEMON_PACKET_H
#define ZAT_DAEMON_PACKET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HEADER_SIZE 12
#define VERSION_DEFAULT 0xc0   /* major version 0xc, minor 0 */
#define TYPE_AUTHEN 1
#define TYPE_AUTHOR 2
#define TYPE_ACCT 3
#define FLAG_UNENCRYPTED 0x01
#define FLAG_SINGLE_CONNECT 0x04

/* A body of this many bytes or fewer is accepted: a packet is at most 65536. */
#define MAX_BODY_SIZE 65524
/* Longest single wait on the NAS connection, reading or writing. */
#define IO_TIMEOUT_MS 180000

/* Error statuses of the three replies; every other status is the caller's. */
#define AUTHEN_STATUS_ERROR 0x07
#define AUTHOR_STATUS_ERROR 0x11
#define ACCT_STATUS_ERROR 0x02

/*
 * Reads one packet from session.conn_fd: checks the header's major version,
 * the body length and the sequence number, and has md5_xor() turn the body
 * into plain form.  Returns the packet, or null after logging why.
 */
unsigned char *read_packet(void);

/*
 * Reply builders.  Each frames one reply (version, type, session.seq_no plus
 * one, flags 0x01 or 0x05, session id, length), sends it and frees it.  A
 * failed send is logged, not returned.
 *
 * The authentication reply takes counted byte strings, so its data may hold
 * any bytes; the other texts are NUL-terminated, a null text is empty.
 */
void send_authen_reply(int status, const char *server_msg, uint16_t server_msg_len, const char *data,
                       uint16_t data_len, int flags);

/*
 * Limits of a reply, set by its length fields: at most 255 arguments
 * (ZAT_MAX_REPLY_ARGS), each at most 255 bytes (ZAT_MAX_REPLY_ARG_LEN),
 * and a server message and data of at most 65535 bytes each
 * (ZAT_MAX_REPLY_TEXT).
 *
 * A reply over a limit is not sent, and nothing of it is cut: a priority-3
 * line names the field and its size, and the NAS gets AUTHOR_STATUS_ERROR
 * (or ACCT_STATUS_ERROR) with the server message "reply too large" instead.
 * seq_no moves on once, for that reply.
 *
 * args is an array of arg_cnt NUL-terminated "attribute=value" pairs; a
 * table of constant pairs passes without a cast.  A negative arg_cnt counts
 * as 0.
 */
#define ZAT_MAX_REPLY_ARGS 255      /* one count byte */
#define ZAT_MAX_REPLY_ARG_LEN 255   /* one length byte per argument */
#define ZAT_MAX_REPLY_TEXT 65535    /* 16-bit server message and data lengths */
void send_author_reply(int status, const char *server_msg, const char *data, int arg_cnt,
                       const char *const *args);
/* Limits: server message and data at most ZAT_MAX_REPLY_TEXT bytes each, as above. */
void send_acct_reply(int status, const char *server_msg, const char *data);

/* Logs "<peer_name> <addr_buf>: msg" and sends it in an authentication ERROR reply. */
void send_authen_error(const char *msg);

/* Answers a request of the given type (1, 2 or 3) with that type's error reply. */
void send_error_reply(int type, const char *msg);

/*
 * Reads an authentication CONTINUE.  Returns the packet with its body's two
 * 16-bit length fields converted to host order, or null after logging why.
 *
 * When read_packet() gives nothing (the connection failed, timed out or
 * closed, or the header, sequence number or key was refused), the result is
 * null and nothing is sent: the daemon ends the exchange.  Only a packet
 * that arrived but is no proper CONTINUE (another type, a sequence number
 * below 2, lengths that do not add up to the body) is answered with an
 * authentication error reply before null is returned.
 */
unsigned char *get_authen_continue(void);

#ifdef __cplusplus
}
#endif

#endif
