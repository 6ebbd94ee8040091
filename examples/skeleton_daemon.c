/*
 * skeleton_daemon: the smallest TACACS+ daemon built on the zat modules.
 *
 * It serves one NAS connection on standard input (as inetd would hand it
 * over), with the who-log at the path given as its first argument:
 *
 *   - login: START -> GETPASS, CONTINUE -> PASS or FAIL (the password is
 *     "demo"; a user with MAX_SESSIONS sessions elsewhere is refused);
 *   - accounting: START and STOP go to the who-log, every request is
 *     answered with SUCCESS;
 *   - anything else gets the error reply of its type.
 *
 * A daemon provides the host services of daemon/host/host.h itself; this one
 * does so in the plainest way.  It runs without keys, so it accepts only
 * packets that the NAS sent unencrypted: a real daemon does the RFC 8907
 * body obfuscation in md5_xor() with its configured keys.
 *
 * Build:  cc skeleton_daemon.c $(pkg-config --cflags --libs zat-packet zat-velor)
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <daemon/host/host.h>
#include <daemon/packet/packet.h>
#include <daemon/velor/velor.h>

#define MAX_SESSIONS 2

/* ---- host services -------------------------------------------------------- */

struct zat_session session;
int debug;

void report(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "skeleton[%d]: ", priority);
    vfprintf(stderr, format, ap);
    if (format[0] && format[strlen(format) - 1] != '\n')
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
    return strcpy(p, s);
}

/* The who-log lock: exclusive, whole file, released when the file is closed. */
int zat_lockfd(const char *path, int fd)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &lock) != 0) {
        if (errno != EINTR) {
            report(3, "%s: cannot lock: %s", path, strerror(errno));
            return -1;
        }
    }
    return 0;
}

const char *cfg_get_host_key(const char *host)
{
    (void)host;
    return NULL; /* no keys configured */
}

/* Without keys only unencrypted requests (flag 0x01) are accepted. */
int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    (void)body;
    if (key)
        return -1;
    int request = packet[2] & 1;
    return request && !(packet[3] & FLAG_UNENCRYPTED) ? -1 : 0;
}

const char *summarise_incoming_packet_type(const unsigned char *packet)
{
    static const char *names[] = {"unknown", "authentication", "authorization", "accounting"};
    return names[packet[1] <= 3 ? packet[1] : 0];
}

const char *summarise_outgoing_packet_type(const unsigned char *packet)
{
    return summarise_incoming_packet_type(packet);
}

void dump_nas_pak(const unsigned char *packet)
{
    report(7, "received %s seq %d", summarise_incoming_packet_type(packet), packet[2]);
}

void dump_tacacs_pak(const unsigned char *packet)
{
    report(7, "sending %s seq %d", summarise_outgoing_packet_type(packet), packet[2]);
}

/*
 * One weak entry point replaced: the module's authentication error reply
 * tells the NAS our peer name and address; this daemon keeps those in its
 * own log and sends a plain text instead.
 */
void send_authen_error(const char *msg)
{
    report(3, "%s: authentication error: %s", session.peer_name, msg);
    send_authen_reply(AUTHEN_STATUS_ERROR, "authentication error", 20, NULL, 0, 0);
}

/* ---- request handling ----------------------------------------------------- */

static unsigned int body_length(const unsigned char *packet)
{
    return (unsigned int)packet[8] << 24 | (unsigned int)packet[9] << 16 | (unsigned int)packet[10] << 8 | packet[11];
}

/* Copies n bytes at *at into a new NUL-terminated string and moves *at on. */
static char *take_text(const unsigned char **at, unsigned int n)
{
    char *s = zat_malloc((int)n + 1);
    memcpy(s, *at, n);
    s[n] = '\0';
    *at += n;
    return s;
}

/* The user of the login in progress, from its START. */
static char login_user[256];
static char login_port[256];

static void start_login(const unsigned char *packet)
{
    const unsigned char *b = packet + HEADER_SIZE;
    unsigned int len = body_length(packet);
    if (len < 8 || 8u + b[4] + b[5] + b[6] + b[7] > len) {
        send_authen_error("malformed START");
        return;
    }
    const unsigned char *at = b + 8;
    char *user = take_text(&at, b[4]);
    char *port = take_text(&at, b[5]);
    snprintf(login_user, sizeof login_user, "%s", user);
    snprintf(login_port, sizeof login_port, "%s", port);
    free(user);
    free(port);
    send_authen_reply(0x05 /* GETPASS */, "Password: ", 10, NULL, 0, 0x01 /* NOECHO */);
}

static void finish_login(void)
{
    unsigned char *cont = get_authen_continue();
    if (!cont)
        return; /* refused and answered by the module */
    uint16_t msg_len;
    memcpy(&msg_len, cont + HEADER_SIZE, 2); /* host order already */
    const unsigned char *at = cont + HEADER_SIZE + 5;
    char *password = take_text(&at, msg_len);
    struct user_ident id = {login_user, session.peer_name, login_port, ""};
    int others = countuser(&id);
    if (strcmp(password, "demo") != 0)
        send_authen_reply(0x02 /* FAIL */, "wrong password", 14, NULL, 0, 0);
    else if (others >= MAX_SESSIONS)
        send_authen_reply(0x02 /* FAIL */, "too many sessions", 17, NULL, 0, 0);
    else
        send_authen_reply(0x01 /* PASS */, "welcome", 7, NULL, 0, 0);
    free(password);
    free(cont);
}

/* Accounting REQUEST: flags, method, priv, type, service, user, port,
 * rem_addr and argument lengths, then the texts. */
static void account(const unsigned char *packet)
{
    const unsigned char *b = packet + HEADER_SIZE;
    unsigned int len = body_length(packet);
    unsigned int need = len >= 9 ? 9u + b[8] : ~0u;
    for (unsigned int i = 0; need <= len && i < b[8]; i++)
        need += b[9 + i];
    if (need > len || need + b[5] + b[6] + b[7] > len) {
        send_error_reply(TYPE_ACCT, "malformed accounting request");
        return;
    }
    const unsigned char *at = b + 9 + b[8];
    char *user = take_text(&at, b[5]);
    char *port = take_text(&at, b[6]);
    char *rem_addr = take_text(&at, b[7]);
    const char **args = zat_malloc((int)sizeof(char *) * (b[8] + 1));
    for (unsigned int i = 0; i < b[8]; i++)
        args[i] = take_text(&at, b[9 + i]);

    struct user_ident id = {user, session.peer_name, port, rem_addr};
    struct acct_record rec = {b[0] & 0x02 ? ACCT_KIND_START : b[0] & 0x04 ? ACCT_KIND_STOP : 0, &id, b[8], args};
    loguser(&rec);
    send_acct_reply(0x01 /* SUCCESS */, NULL, NULL);

    for (unsigned int i = 0; i < b[8]; i++)
        free((char *)args[i]);
    free(args);
    free(user);
    free(port);
    free(rem_addr);
}

int main(int argc, char **argv)
{
    if (argc > 1)
        wholog = argv[1];
    velor_loginit();

    memset(&session, 0, sizeof session);
    session.conn_fd = 0;
    session.peer_name = argc > 2 ? argv[2] : "nas";
    session.peer_addr = session.peer_name;
    snprintf(session.addr_buf, sizeof session.addr_buf, "%s", session.peer_name);

    unsigned char *packet;
    while ((packet = read_packet()) != NULL) {
        session.session_id = (int)((unsigned int)packet[4] << 24 | packet[5] << 16 | packet[6] << 8 | packet[7]);
        switch (packet[1]) {
        case TYPE_AUTHEN:
            start_login(packet);
            free(packet);
            finish_login();
            break;
        case TYPE_ACCT:
            account(packet);
            free(packet);
            break;
        default:
            send_error_reply(packet[1], "not served here");
            free(packet);
            break;
        }
        session.seq_no = 0; /* the next request opens a new session */
    }
    return 0;
}
