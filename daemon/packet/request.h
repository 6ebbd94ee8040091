/*
 * Request decoders of the packet module: the bodies that a NAS sends (RFC 8907)
 * turned into plain structs, after every check that a daemon would otherwise
 * have to write itself.
 *
 * Each decoder takes a packet as read_packet() or get_authen_continue() hands
 * it over (header in wire order, body plain, the header's length bytes giving
 * the body length) and, before it reads any field, checks:
 *
 *   - the header's type byte;
 *   - that the body holds the fixed fields (and, for authorization and
 *     accounting, the argument length bytes);
 *   - that the fixed fields' length bytes and the argument lengths add up to
 *     exactly the body length: a packet with bytes missing or left over is
 *     refused, as RFC 8907 section 4.5 requires;
 *   - that user, port, remote address, every argument and the CONTINUE's
 *     user message hold no NUL byte, so that they read the same as C strings
 *     and as counted bytes ("joe\0x" is refused, it never passes as "joe");
 *   - for accounting, that the flags are START, STOP, WATCHDOG or
 *     WATCHDOG with UPDATE (RFC 8907 section 7.2).
 *
 * On success a decoder returns ZAT_REQ_OK and fills the struct with the fixed
 * fields and views (pointer and length) into the packet: nothing is copied
 * and nothing is allocated, so the views live exactly as long as the packet.
 * A view is not NUL-terminated; print it with "%.*s", view.len, view.ptr.
 *
 * A refusal returns one of the ZAT_REQ_ codes below, logs
 * "<peer_name>: <request> refused: <text>" (priority 3) and leaves the struct
 * all zero.  zat_request_error_text() gives the text, ready for the error
 * reply of the request's type:
 *
 *     struct zat_acct_request req;
 *     int rc = zat_decode_acct_request(packet, &req);
 *     if (rc != ZAT_REQ_OK)
 *         send_error_reply(TYPE_ACCT, zat_request_error_text(rc));
 *
 * Argument syntax ("attribute=value", "attribute*value") is the daemon's to
 * judge: an empty argument is decoded as an empty view.
 *
 * Plain C; every function is a weak definition with C linkage.
 */
#ifndef ZAT_DAEMON_PACKET_REQUEST_H
#define ZAT_DAEMON_PACKET_REQUEST_H

#include "daemon/host/host.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the decoders; every refusal has a code and a text of its own. */
#define ZAT_REQ_OK 0
#define ZAT_REQ_NO_PACKET 1            /* "no packet" (null packet or struct) */
#define ZAT_REQ_WRONG_TYPE 2           /* "wrong packet type" */
#define ZAT_REQ_SHORT_BODY 3           /* "body shorter than its fixed fields" */
#define ZAT_REQ_LENGTHS_OVER_BODY 4    /* "field lengths exceed the body length" */
#define ZAT_REQ_LENGTHS_UNDER_BODY 5   /* "field lengths fall short of the body length" */
#define ZAT_REQ_NUL_IN_USER 6          /* "NUL byte in the user name" */
#define ZAT_REQ_NUL_IN_PORT 7          /* "NUL byte in the port" */
#define ZAT_REQ_NUL_IN_REM_ADDR 8      /* "NUL byte in the remote address" */
#define ZAT_REQ_NUL_IN_ARG 9           /* "NUL byte in an argument" */
#define ZAT_REQ_NUL_IN_USER_MSG 10     /* "NUL byte in the user message" */
#define ZAT_REQ_BAD_ACCT_FLAGS 11      /* "invalid accounting flags" */

/* A request has at most this many arguments: its count is one byte. */
#define ZAT_MAX_ARGS 255

/* Accounting flags (RFC 8907 section 7.2); the flags byte & ZAT_ACCT_FLAG_MASK
 * is one of START, STOP, WATCHDOG, WATCHDOG | START (watchdog with update). */
#define ZAT_ACCT_FLAG_START 0x02
#define ZAT_ACCT_FLAG_STOP 0x04
#define ZAT_ACCT_FLAG_WATCHDOG 0x08
#define ZAT_ACCT_FLAG_MASK 0x0e

/* Flag of an authentication CONTINUE: the user ended the session. */
#define ZAT_CONTINUE_FLAG_ABORT 0x01

/* A view of bytes inside a packet: len bytes at ptr, no terminator. */
struct zat_bytes {
    const char *ptr;
    int len;
};

/* Authentication START (RFC 8907 section 5.1). */
struct zat_authen_start {
    int action;          /* LOGIN 1, CHPASS 2, SENDAUTH 4 */
    int priv_lvl;
    int authen_type;     /* ASCII 1, PAP 2, CHAP 3, MSCHAP 5, MSCHAPV2 6 */
    int authen_service;  /* LOGIN 1, ... */
    struct zat_bytes user;
    struct zat_bytes port;
    struct zat_bytes rem_addr;
    /* Any bytes, NUL included: binary for CHAP and MS-CHAP, the password for
     * PAP.  A daemon that hands a PAP password to crypt() or strcmp() must
     * refuse one that holds a NUL byte itself (memchr). */
    struct zat_bytes data;
};

/* Authentication CONTINUE (RFC 8907 section 5.3), as get_authen_continue()
 * returns it: its two 16-bit length fields already in host order. */
struct zat_authen_continue {
    int flags;                 /* ZAT_CONTINUE_FLAG_ABORT */
    /* What the user typed: the user name or password of an ASCII login.  It
     * holds no NUL byte, so a password that goes to crypt() or strcmp() is
     * compared whole. */
    struct zat_bytes user_msg;
    struct zat_bytes data;     /* any bytes; the abort reason with ABORT */
};

/* Authorization REQUEST (RFC 8907 section 6.1). */
struct zat_author_request {
    int authen_method;
    int priv_lvl;
    int authen_type;
    int authen_service;
    struct zat_bytes user;
    struct zat_bytes port;
    struct zat_bytes rem_addr;
    int arg_cnt;                          /* 0 to 255 */
    struct zat_bytes args[ZAT_MAX_ARGS];  /* the first arg_cnt are filled */
};

/* Accounting REQUEST (RFC 8907 section 7.1). */
struct zat_acct_request {
    int flags;                            /* the whole flags byte */
    int authen_method;
    int priv_lvl;
    int authen_type;
    int authen_service;
    struct zat_bytes user;
    struct zat_bytes port;
    struct zat_bytes rem_addr;
    int arg_cnt;                          /* 0 to 255 */
    struct zat_bytes args[ZAT_MAX_ARGS];  /* the first arg_cnt are filled */
};

/* Decode an authentication START, a packet of type TYPE_AUTHEN.  Which packet
 * of an authentication is the START (sequence number 1) is the daemon's to
 * know.  Returns ZAT_REQ_OK or a refusal code; so do the three below. */
int zat_decode_authen_start(const unsigned char *packet, struct zat_authen_start *out);

/* Decode a packet that get_authen_continue() returned.  Only such packets:
 * in one straight from read_packet() the 16-bit lengths are in wire order,
 * and would be misread. */
int zat_decode_authen_continue(const unsigned char *packet, struct zat_authen_continue *out);

/* Decode a packet of type TYPE_AUTHOR. */
int zat_decode_author_request(const unsigned char *packet, struct zat_author_request *out);

/* Decode a packet of type TYPE_ACCT. */
int zat_decode_acct_request(const unsigned char *packet, struct zat_acct_request *out);

/* The text of a result code: short, without the peer's name, fit for a log
 * line and for an error reply.  An unknown code gives "unknown request error". */
const char *zat_request_error_text(int code);

/*
 * Who-log glue: fills rec and ident from a decoded accounting request, ready
 * for loguser(), countuser() or the daemon's own records.
 *
 *   rec->kind      ACCT_KIND_START for START, ACCT_KIND_STOP for STOP, 0 for
 *                  a watchdog (which loguser() ignores)
 *   rec->ident     ident
 *   rec->arg_count, rec->args
 *                  copies of the arguments; args[arg_count] is null
 *   ident->user, ident->nas_port, ident->extra
 *                  copies of user, port and remote address
 *   ident->nas     a copy of nas_name, the daemon's name for the NAS (null
 *                  counts as empty)
 *
 * Every text is a NUL-terminated copy from the host's allocator, so the packet
 * may be freed at once.  zat_acct_record_free(rec) frees them all and leaves
 * rec and the ident it pointed to empty: null pointers, no arguments.
 */
void zat_acct_record_fill(const struct zat_acct_request *req, const char *nas_name, struct acct_record *rec,
                          struct user_ident *ident);
void zat_acct_record_free(struct acct_record *rec);

#ifdef __cplusplus
}
#endif

#endif
