/*
 * Services of the host daemon that the modules call, and the daemon's records
 * that they read.  A daemon that links the modules provides every name declared
 * here; inside this project the stand-in host (daemon/host/standin) does.
 *
 * Plain C: the header compiles as C and as C++, and every name has C linkage.
 */
#ifndef ZAT_DAEMON_HOST_H
#define ZAT_DAEMON_HOST_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define ZAT_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define ZAT_PRINTF_FORMAT(fmt, first)
#endif

/* Logging: priority is a syslog level, 3 for errors and 7 for debug lines. */
void report(int priority, const char *format, ...) ZAT_PRINTF_FORMAT(2, 3);

/* Allocator: never returns null; blocks are released with free(). */
void *zat_malloc(int size);
void *zat_realloc(void *ptr, int size);
char *zat_strdup(const char *s);

/* Locks an opened file; the lock ends when the file is closed. */
int zat_lockfd(const char *path, int fd);

/* The key configured for a NAS address or name, or null. */
const char *cfg_get_host_key(const char *host);

/*
 * Turns the body of a packet in place between wire form and plain form.
 * packet is the start of the header (wire byte order), body is packet + 12.
 * Returns 0 on success.
 */
int md5_xor(unsigned char *packet, unsigned char *body, const char *key);

/* Printable names of a packet's type, for trace lines. */
const char *summarise_incoming_packet_type(const unsigned char *packet);
const char *summarise_outgoing_packet_type(const unsigned char *packet);

/* Debug dumps of a received and of an outgoing packet. */
void dump_nas_pak(const unsigned char *packet);
void dump_tacacs_pak(const unsigned char *packet);

/* Trace switches. */
extern int debug;

#define DEBUG_PORTNAME_FLAG 0x40
#define DEBUG_PACKET_FLAG 0x100
#define DEBUG_LIMIT_FLAG 0x8000

/* Bit of session.opt_flags: replies never offer single-connection mode. */
#define OPT_NO_SINGLE_CONNECT 0x2

/* The daemon's record of the NAS connection it is serving. */
struct zat_session {
    int session_id;           /* host order; copied into reply headers */
    int seq_no;               /* one more for every packet read and every reply */
    time_t last_activity;     /* set when a packet was read or wholly written */
    int conn_fd;              /* socket of the NAS connection */
    int opt_flags;            /* OPT_NO_SINGLE_CONNECT */
    int last_hdr_flags;       /* flags byte of the last header read */
    const char *default_key;  /* key used when no host key is configured */
    const char *peer_name;    /* NAS name: first word of messages */
    const char *peer_addr;    /* NAS address: first key lookup */
    char addr_buf[64];        /* printable address, after peer_name in messages */
    unsigned char last_version; /* version byte of the last packet returned */
};

extern struct zat_session session;

/* The identity of one user session, as accounting and admission see it. */
struct user_ident {
    const char *user;
    const char *nas;
    const char *nas_port;
    const char *extra;
};

#define ACCT_KIND_START 1
#define ACCT_KIND_STOP 2

/* An accepted accounting request. */
struct acct_record {
    int kind;                  /* ACCT_KIND_START, ACCT_KIND_STOP or other */
    struct user_ident *ident;
    int arg_count;
    const char **args;         /* attribute-value strings of the request */
};

#ifdef __cplusplus
}
#endif

#endif
