/*
 * skeleton_daemon: a small TACACS+ daemon built on the zat modules.
 *
 * It serves one NAS connection on standard input, as inetd or
 * systemd-socket-activate --inetd hand it over:
 *
 *     ZAT_KEY=secret skeleton_daemon /var/log/zatwho.log nas1
 *
 * The arguments are the who-log and the daemon's name for the NAS.  The key
 * shared with the NAS comes from the environment variable ZAT_KEY, never from
 * the command line, where every user of the host could read it.  Unset or
 * empty, there is no key, and the NAS must send its requests unencrypted.
 *
 * It answers one TACACS+ session after another on the connection:
 *   - ASCII login: START -> GETUSER (when the START names no user) ->
 *     GETPASS -> PASS or FAIL;
 *   - PAP login (minor version 1): START with the password -> PASS or FAIL.
 *     The rule of both: the password is "demo", and a user who already has
 *     MAX_SESSIONS sessions on other ports is refused;
 *   - authorization: a named user gets the shell service, with a privilege
 *     level and a time-out (PASS_ADD); anything else is refused (FAIL);
 *   - accounting: START and STOP go to the who-log; SUCCESS;
 *   - a request that a decoder refuses: the error reply of its type, with the
 *     decoder's text.
 *
 * Build:  cc skeleton_daemon.c $(pkg-config --cflags --libs zat-packet zat-velor zat-obfuscation)
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <daemon/host/host.h>
#include <daemon/obfuscation/obfuscation.h>
#include <daemon/packet/packet.h>
#include <daemon/packet/request.h>
#include <daemon/velor/velor.h>

#define MAX_SESSIONS 2

/* The RFC 8907 values that this daemon uses. */
#define AUTHEN_LOGIN 1 /* action */
#define AUTHEN_TYPE_ASCII 1
#define AUTHEN_TYPE_PAP 2
#define AUTHEN_STATUS_PASS 0x01
#define AUTHEN_STATUS_FAIL 0x02
#define AUTHEN_STATUS_GETUSER 0x04
#define AUTHEN_STATUS_GETPASS 0x05
#define REPLY_FLAG_NOECHO 0x01
#define AUTHOR_STATUS_PASS_ADD 0x01
#define AUTHOR_STATUS_FAIL 0x10
#define ACCT_STATUS_SUCCESS 0x01

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

/* No keys per NAS: the one key from ZAT_KEY is session.default_key. */
const char *cfg_get_host_key(const char *host)
{
    (void)host;
    return NULL;
}

/* The RFC 8907 body obfuscation, fail-closed: a request whose unencrypted
 * flag disagrees with the key is refused, and read_packet() gives nothing. */
int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    return zat_md5_xor(packet, body, key);
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
 * One weak entry point replaced: the module's authentication error reply puts
 * our name for the NAS and its address before the text.  This daemon keeps
 * those in its own log and sends the NAS the bare text.
 */
void send_authen_error(const char *msg)
{
    report(3, "%s: authentication error: %s", session.peer_name, msg);
    send_authen_reply(AUTHEN_STATUS_ERROR, msg, (uint16_t)strlen(msg), NULL, 0, 0);
}

/* ---- request handling ----------------------------------------------------- */

/* A NUL-terminated copy of a view into a packet, for calls that take C strings. */
static char *copy_text(struct zat_bytes v)
{
    char *s = zat_malloc(v.len + 1);
    memcpy(s, v.ptr, (size_t)v.len);
    s[v.len] = '\0';
    return s;
}

static int is_text(struct zat_bytes v, const char *text)
{
    return (size_t)v.len == strlen(text) && memcmp(v.ptr, text, (size_t)v.len) == 0;
}

static void authen_reply(int status, const char *msg, int flags)
{
    send_authen_reply(status, msg, (uint16_t)strlen(msg), NULL, 0, flags);
}

/*
 * The login rule.  strcmp() stands for crypt() and the stored hash of a real
 * daemon: both read the password as a C string, so a password with a NUL byte
 * in it is refused first ("demo\0x" must not pass as "demo").  The decoder
 * has checked a CONTINUE's user message so; a START's data, where PAP brings
 * the password, may hold any bytes.
 */
static void finish_login(struct zat_bytes user, struct zat_bytes port, struct zat_bytes rem_addr,
                         struct zat_bytes password)
{
    char *typed = copy_text(password);
    int right = !memchr(password.ptr, '\0', (size_t)password.len) && strcmp(typed, "demo") == 0;
    free(typed);
    if (!right) {
        authen_reply(AUTHEN_STATUS_FAIL, "wrong password", 0);
        return;
    }
    struct user_ident id = {copy_text(user), session.peer_name, copy_text(port), copy_text(rem_addr)};
    if (countuser(&id) >= MAX_SESSIONS)
        authen_reply(AUTHEN_STATUS_FAIL, "too many sessions", 0);
    else
        authen_reply(AUTHEN_STATUS_PASS, "welcome", 0);
    free((char *)id.user);
    free((char *)id.nas_port);
    free((char *)id.extra);
}

/*
 * Sends a GETUSER or GETPASS reply and reads the CONTINUE that answers it.
 * Returns the CONTINUE, which the caller frees, with *answer viewing what the
 * user typed; or null when the exchange is over: the connection failed, the
 * CONTINUE was refused (and answered), or the NAS aborted the login, which
 * gets no reply.
 */
static unsigned char *ask(int status, const char *prompt, int flags, struct zat_bytes *answer)
{
    authen_reply(status, prompt, flags);
    unsigned char *packet = get_authen_continue();
    if (!packet)
        return NULL;
    struct zat_authen_continue cont;
    int rc = zat_decode_authen_continue(packet, &cont);
    if (rc != ZAT_REQ_OK) {
        send_error_reply(TYPE_AUTHEN, zat_request_error_text(rc));
    } else if (cont.flags & ZAT_CONTINUE_FLAG_ABORT) {
        report(7, "%s: login aborted: %.*s", session.peer_name, cont.data.len, cont.data.ptr);
    } else {
        *answer = cont.user_msg;
        return packet;
    }
    free(packet);
    return NULL;
}

static void authenticate(const unsigned char *packet)
{
    struct zat_authen_start start;
    int rc = zat_decode_authen_start(packet, &start);
    if (rc != ZAT_REQ_OK) {
        send_error_reply(TYPE_AUTHEN, zat_request_error_text(rc));
        return;
    }
    int minor_version = packet[0] & 0x0f;
    if (start.action == AUTHEN_LOGIN && start.authen_type == AUTHEN_TYPE_PAP && minor_version == 1) {
        finish_login(start.user, start.port, start.rem_addr, start.data);
        return;
    }
    if (start.action != AUTHEN_LOGIN || start.authen_type != AUTHEN_TYPE_ASCII) {
        authen_reply(AUTHEN_STATUS_FAIL, "authentication type not served here", 0);
        return;
    }
    /* ASCII: ask for what the START did not bring. */
    struct zat_bytes user = start.user, password;
    unsigned char *user_packet = NULL, *password_packet;
    if (user.len == 0 && !(user_packet = ask(AUTHEN_STATUS_GETUSER, "Username: ", 0, &user)))
        return;
    if (user.len == 0) {
        authen_reply(AUTHEN_STATUS_FAIL, "no user name", 0);
    } else if ((password_packet = ask(AUTHEN_STATUS_GETPASS, "Password: ", REPLY_FLAG_NOECHO, &password))) {
        finish_login(user, start.port, start.rem_addr, password);
        free(password_packet);
    }
    free(user_packet);
}

/* The authorization rule: a named user gets the shell service, at privilege
 * level 1 and for at most 30 minutes; anything else is refused. */
static void authorize(const unsigned char *packet)
{
    static const char *const shell[] = {"priv-lvl=1", "timeout=30"};
    struct zat_author_request req;
    int rc = zat_decode_author_request(packet, &req);
    if (rc != ZAT_REQ_OK) {
        send_error_reply(TYPE_AUTHOR, zat_request_error_text(rc));
        return;
    }
    for (int i = 0; i < req.arg_cnt; i++) {
        if (req.user.len > 0 && is_text(req.args[i], "service=shell")) {
            send_author_reply(AUTHOR_STATUS_PASS_ADD, NULL, NULL, 2, shell);
            return;
        }
    }
    send_author_reply(AUTHOR_STATUS_FAIL, "only the shell service is authorized", NULL, 0, NULL);
}

/* Accounting START and STOP keep the who-log; a watchdog leaves it alone. */
static void account(const unsigned char *packet)
{
    struct zat_acct_request req;
    int rc = zat_decode_acct_request(packet, &req);
    if (rc != ZAT_REQ_OK) {
        send_error_reply(TYPE_ACCT, zat_request_error_text(rc));
        return;
    }
    struct acct_record rec;
    struct user_ident ident;
    zat_acct_record_fill(&req, session.peer_name, &rec, &ident);
    loguser(&rec);
    zat_acct_record_free(&rec);
    send_acct_reply(ACCT_STATUS_SUCCESS, NULL, NULL);
}

int main(int argc, char **argv)
{
    if (argc > 1)
        wholog = argv[1];
    velor_loginit();

    const char *key = getenv("ZAT_KEY");
    memset(&session, 0, sizeof session);
    session.conn_fd = 0;
    session.peer_name = argc > 2 ? argv[2] : "nas";
    session.peer_addr = session.peer_name;
    snprintf(session.addr_buf, sizeof session.addr_buf, "%s", session.peer_name);
    session.default_key = key && *key ? key : NULL;

    unsigned char *packet;
    while ((packet = read_packet()) != NULL) {
        /* The replies carry the session id of the request that they answer. */
        session.session_id = (int)((unsigned int)packet[4] << 24 | packet[5] << 16 | packet[6] << 8 | packet[7]);
        switch (packet[1]) {
        case TYPE_AUTHEN:
            authenticate(packet);
            break;
        case TYPE_AUTHOR:
            authorize(packet);
            break;
        case TYPE_ACCT:
            account(packet);
            break;
        default:
            send_error_reply(packet[1], "not served here");
            break;
        }
        free(packet);
        session.seq_no = 0; /* the next request opens a new TACACS+ session */
    }
    return 0;
}
