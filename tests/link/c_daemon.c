/*
 * A daemon written in C, built with cc alone against the module archives:
 * it provides every host service itself, reads a packet and answers it
 * through the packet module, and replaces one weak entry point of the module
 * (send_authen_error) with its own.  Exits 0 when all of that worked.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/host/host.h"
#include "daemon/packet/packet.h"

struct zat_session session;
int debug;

static int own_error_calls;
static char own_error_text[256];

void report(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "<%d> ", priority);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void *zat_malloc(int size)
{
    void *p = malloc(size > 0 ? (size_t)size : 1);
    if (!p)
        abort();
    return p;
}

void *zat_realloc(void *ptr, int size)
{
    void *p = realloc(ptr, size > 0 ? (size_t)size : 1);
    if (!p)
        abort();
    return p;
}

char *zat_strdup(const char *s)
{
    char *p = zat_malloc((int)strlen(s) + 1);
    strcpy(p, s);
    return p;
}

int zat_lockfd(const char *path, int fd)
{
    (void)path;
    (void)fd;
    return 0;
}

const char *cfg_get_host_key(const char *host)
{
    (void)host;
    return NULL;
}

/* This daemon runs without keys: bodies stay plain. */
int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    (void)packet;
    (void)body;
    return key ? -1 : 0;
}

const char *summarise_incoming_packet_type(const unsigned char *packet)
{
    return packet[1] == TYPE_ACCT ? "accounting request" : "request";
}

const char *summarise_outgoing_packet_type(const unsigned char *packet)
{
    return packet[1] == TYPE_ACCT ? "accounting reply" : "reply";
}

void dump_nas_pak(const unsigned char *packet)
{
    (void)packet;
}

void dump_tacacs_pak(const unsigned char *packet)
{
    (void)packet;
}

/* Our own authentication error reply, in place of the module's. */
void send_authen_error(const char *msg)
{
    own_error_calls++;
    snprintf(own_error_text, sizeof own_error_text, "%s", msg);
}

static int check(int ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "c_daemon: FAILED: %s\n", what);
    return ok ? 0 : 1;
}

int main(void)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 2;
    memset(&session, 0, sizeof session);
    session.conn_fd = fds[0];
    session.peer_name = "nas-c";
    session.peer_addr = "nas-c";
    strcpy(session.addr_buf, "192.0.2.9");
    session.session_id = 0x01020304;
    debug = DEBUG_PACKET_FLAG;

    /* An accounting request, plain, body "hello". */
    unsigned char request[] = {0xc0, 3, 1, 0x01, 1, 2, 3, 4, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'};
    if (write(fds[1], request, sizeof request) != (ssize_t)sizeof request)
        return 2;
    int failures = 0;
    unsigned char *packet = read_packet();
    failures += check(packet && memcmp(packet + 12, "hello", 5) == 0, "read_packet");
    free(packet);

    send_acct_reply(0x01, "ok", NULL);
    unsigned char reply[17 + 2];
    ssize_t n = read(fds[1], reply, sizeof reply);
    failures += check(n == 19 && reply[1] == TYPE_ACCT && reply[2] == 2 && reply[16] == 0x01 &&
                          memcmp(reply + 17, "ok", 2) == 0,
                      "send_acct_reply");

    /* A CONTINUE that is too short: the module's check calls our own error reply. */
    unsigned char cont[] = {0xc0, 1, 3, 0x01, 1, 2, 3, 4, 0, 0, 0, 2, 0, 0};
    if (write(fds[1], cont, sizeof cont) != (ssize_t)sizeof cont)
        return 2;
    packet = get_authen_continue();
    failures += check(packet == NULL, "get_authen_continue refuses a short body");
    failures += check(own_error_calls == 1 && strcmp(own_error_text, "Illegally sized authentication cont packet") == 0,
                      "the daemon's send_authen_error replaced the module's");
    close(fds[0]);
    close(fds[1]);
    if (failures == 0)
        printf("c_daemon: read, reply and weak override all worked\n");
    return failures ? 1 : 0;
}
