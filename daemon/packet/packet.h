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

/*
 * Reads one packet from session.conn_fd: checks the header's major version,
 * the body length and the sequence number, and has md5_xor() turn the body
 * into plain form.  Returns the packet, or null after logging why.
 */
unsigned char *read_packet(void);

#ifdef __cplusplus
}
#endif

#endif
