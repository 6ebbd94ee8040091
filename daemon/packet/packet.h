/*
 * The packet module: reads TACACS+ packets (RFC 8907) from the NAS connection
 * of the daemon's current session and sends the replies.
 *
 * A packet in memory is one block from zat_malloc(): the 12-byte header in
 * wire byte order, then the body.  A packet that a call returns belongs to
 * the caller, who releases it with free().
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
void send_author_reply(int status, const char *server_msg, const char *data, int arg_cnt,
                       const char *const *args);
void send_acct_reply(int status, const char *server_msg, const char *data);

/* Logs "<peer_name> <addr_buf>: msg" and sends it in an authentication ERROR reply. */
void send_authen_error(const char *msg);

/* Answers a request of the given type (1, 2 or 3) with that type's error reply. */
void send_error_reply(int type, const char *msg);

/*
 * Reads an authentication CONTINUE.  Returns the packet with its body's two
 * 16-bit length fields converted to host order, or null after logging why
 * and sending an authentication error reply.
 */
unsigned char *get_authen_continue(void);

#ifdef __cplusplus
}
#endif

#endif
