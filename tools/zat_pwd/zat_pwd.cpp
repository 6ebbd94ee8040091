// zat_pwd: reads a password and prints its crypt(3) hash, for an
// administrator to paste into the daemon's configuration.
//
//   zat_pwd [-d] [-e] [-h] [-m] [<salt>]
//
// SHA-512 crypt by default, MD5 crypt with -m, traditional DES crypt with -d.
// -e turns terminal echo off while the password is typed and gives the
// terminal back as it was found, also when a signal ends or stops the tool.
// Without a salt argument a salt is generated from the time of day.
//
// Everything on standard output goes through write(2) on descriptor 1; the
// usage text and the messages go to standard error.

#include <crypt.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tools/zat_pwd/salt.h"

namespace {

const char PROMPT[] = "Password to be encrypted: ";

// The longest password accepted.  A longer one is refused rather than cut:
// a hash of its first characters would never match what the user types.
const size_t PASSWORD_MAX = 24;

// The longest accepted password and the "\r\n" that may end its line: once
// this much has arrived without a newline, the line goes on past the limit.
const size_t READ_MAX = PASSWORD_MAX + 2;

// Traditional DES crypt looks at the first 8 characters only.
const size_t DES_KEY_CHARS = 8;

enum scheme { SCHEME_SHA512, SCHEME_MD5, SCHEME_DES };

// Outcomes of read_password other than a length.
const ssize_t READ_FAILED = -1;     // read(2) failed, errno tells why
const ssize_t READ_NOTHING = -2;    // end of input before any byte
const ssize_t READ_TOO_LONG = -3;   // more than PASSWORD_MAX characters

char salt_buf[24];
char md5_buf[32];
char sha512_buf[128];

// Echo off (-e).  The terminal's settings as the tool found them are kept
// here for the whole run, and whichever way the tool goes (the end, a
// failure, a signal that ends or stops it) it puts exactly these back.  Only
// a change the tool made is undone: where echo was off already, nothing is
// changed and nothing is put back.
struct termios found_tio;
volatile sig_atomic_t echo_changed = 0;

// While echo is off these signals are caught.  Those that end a program at
// a terminal, and SIGPIPE (a write to a standard output whose reader has
// gone, the prompt's for instance), put the settings back and then end the
// tool by the same signal, so that its parent sees the status it expects.
// SIGTSTP puts them back, stops the tool, and turns echo off again once the
// tool is continued.
const int CAUGHT_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGTSTP};
const size_t CAUGHT_COUNT = sizeof CAUGHT_SIGNALS / sizeof CAUGHT_SIGNALS[0];
struct sigaction old_actions[CAUGHT_COUNT];
bool caught[CAUGHT_COUNT];
struct sigaction stop_action;   // set up again after each stop

// Set while the prompt's line on standard output has no newline yet.
bool prompt_line_open = false;

// Standard output is written unbuffered with write(2); a failed or short
// write is not retried (there is nobody left to tell).  For the same reason
// the results of the writes to standard error are not looked at either.
void put(const char *text, size_t len)
{
    ssize_t written = write(1, text, len);
    (void)written;
}

// Ends the prompt's line on standard output, once: after a password typed
// without echo, and before a message on standard error, so that neither the
// message nor the next shell prompt starts behind the prompt.
void end_prompt_line(void)
{
    if (prompt_line_open) {
        prompt_line_open = false;
        put("\n", 1);
    }
}

sigset_t caught_set(void)
{
    sigset_t set;

    sigemptyset(&set);
    for (int sig : CAUGHT_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

// The next three run in the signal handlers as well: tcsetattr, signal,
// raise and sigprocmask are async-signal-safe.
void put_settings_back(void)
{
    if (echo_changed)
        tcsetattr(0, TCSANOW, &found_tio);
}

int apply_echo_off(void)
{
    struct termios tio = found_tio;

    tio.c_lflag &= ~(tcflag_t)ECHO;
    return tcsetattr(0, TCSANOW, &tio);
}

// Delivers sig to the tool with its default action, from within the
// handler of sig: the signal is blocked there until it is unblocked here.
void take_default_action(int sig)
{
    sigset_t set;

    // Neither can fail for a valid signal number other than SIGKILL and
    // SIGSTOP, which are never caught.
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    // raise() returns here: sig stays blocked in its own handler until the
    // unblocking below delivers it (cppcheck takes raise() as never returning).
    // cppcheck-suppress unreachableCode
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
}

void on_ending_signal(int sig)
{
    put_settings_back();
    take_default_action(sig);
}

void on_stop_signal(int sig)
{
    int saved_errno = errno;

    put_settings_back();
    take_default_action(sig);
    // Stopped until SIGCONT.  (The stop does not happen in a process group
    // that no shell controls; then the tool simply goes on.)
    sigaction(sig, &stop_action, NULL);
    if (echo_changed)
        apply_echo_off();
    errno = saved_errno;
}

// Turns echo off on standard input, whose settings are in found_tio, and
// catches the signals that would otherwise leave it off.  The signals are
// held meanwhile so that a handler never sees half of the change.
void turn_echo_off(void)
{
    if ((found_tio.c_lflag & ECHO) == 0)
        return;

    sigset_t held = caught_set(), old_mask;
    sigprocmask(SIG_BLOCK, &held, &old_mask);

    // One handler at a time; a read that a stop interrupted goes on.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_mask = held;
    action.sa_flags = SA_RESTART;
    stop_action = action;
    stop_action.sa_handler = on_stop_signal;
    for (size_t i = 0; i < CAUGHT_COUNT; i++) {
        int sig = CAUGHT_SIGNALS[i];
        // A signal ignored from the start (by nohup, or by a shell for a
        // job in the background) stays ignored.
        if (sigaction(sig, NULL, &old_actions[i]) != 0 ||
            old_actions[i].sa_handler == SIG_IGN)
            continue;
        action.sa_handler = sig == SIGTSTP ? on_stop_signal : on_ending_signal;
        caught[i] = sigaction(sig, &action, NULL) == 0;
    }

    echo_changed = 1;
    if (apply_echo_off() != 0)
        echo_changed = 0;
    sigprocmask(SIG_SETMASK, &old_mask, NULL);
}

// Puts the terminal's settings back and the signals' old actions with them.
void give_terminal_back(void)
{
    sigset_t held = caught_set(), old_mask;
    sigprocmask(SIG_BLOCK, &held, &old_mask);
    put_settings_back();
    echo_changed = 0;
    for (size_t i = 0; i < CAUGHT_COUNT; i++) {
        if (caught[i])
            sigaction(CAUGHT_SIGNALS[i], &old_actions[i], NULL);
        caught[i] = false;
    }
    sigprocmask(SIG_SETMASK, &old_mask, NULL);
}

// Writes bytes that came from the user (a salt) so that control bytes
// cannot reach the terminal raw.
void put_escaped(FILE *f, const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    for (; *p; p++) {
        if (*p < 0x20 || *p >= 0x7f || *p == '"' || *p == '\\')
            (void)fprintf(f, "\\x%02x", *p);
        else
            (void)fputc(*p, f);
    }
}

void print_usage(void)
{
    static const char line[] = "Usage: zat_pwd [-ehm] [<salt>]\n";
    static const char options[] =
        "\t-e\tdo not echo the password\n"
        "\t-h\tdisplay this message\n"
        "\t-m\tgenerate MD5 crypt\n";
    static_assert(sizeof line - 1 == 31, "usage line");
    static_assert(sizeof options - 1 == 77, "usage options");

    (void)fwrite(line, 1, sizeof line - 1, stderr);
    (void)fwrite(options, 1, sizeof options - 1, stderr);
}

// Four salt characters, seeded from the time of day, in a static buffer.
char *make_salt(void)
{
    memset(salt_buf, 0, sizeof salt_buf);
    srandom((unsigned int)(uint32_t)time(NULL));

    char c1 = salt_char(random());
    char c2 = salt_char(random());
    char c3 = salt_char(random());
    char c4 = salt_char(random());

    // Two characters each, in a buffer of 24: never cut.
    (void)snprintf(salt_buf, sizeof salt_buf, "%c%c", c1, c2);
    (void)snprintf(salt_buf + 2, sizeof salt_buf - 2, "%c%c", c3, c4);
    return salt_buf;
}

// Cuts a salt to at most len characters, in place.
void cut_salt(char *salt, size_t len)
{
    if (strlen(salt) > len)
        salt[len] = '\0';
}

// crypt(password, setting), or null after a message on standard error when
// the crypt library gives no hash: a null pointer, or one of its failure
// texts, which begin with '*' (a hash never does).  When room is not 0 the
// hash is to be copied into room bytes, and one that would not fit with its
// terminator is refused the same way.
const char *crypt_checked(const char *scheme_name, const char *password,
                          const char *setting, const char *salt, size_t room)
{
    // crypt() keeps its result in static storage, which is safe here: one
    // hash, in a program of one thread.
    // cppcheck-suppress cryptCalled
    const char *hash = crypt(password, setting);

    if (hash == NULL || hash[0] == '*' || hash[0] == '\0' ||
        (room != 0 && strlen(hash) >= room)) {
        end_prompt_line();
        (void)fprintf(stderr, "zat_pwd: %s gave no hash for the salt \"",
                      scheme_name);
        put_escaped(stderr, salt);
        (void)fputs("\"\n", stderr);
        return NULL;
    }
    return hash;
}

// The salt text is the caller's; it is cut in place.
const char *hash_des(const char *password, char *salt)
{
    if (salt == NULL)
        salt = make_salt();
    else
        cut_salt(salt, 4);
    return crypt_checked("DES crypt", password, salt, salt, 0);
}

const char *hash_md5(const char *password, char *salt)
{
    if (salt == NULL)
        salt = make_salt();
    cut_salt(salt, 2);

    // The salt is cut to 2 characters: 6 in all, never cut.
    (void)snprintf(md5_buf, sizeof md5_buf, "$1$%s$", salt);
    const char *hash = crypt_checked("MD5 crypt", password, md5_buf, salt,
                                     sizeof md5_buf);
    if (hash == NULL)
        return NULL;
    // The length was checked: the copy ends with zero bytes.
    strncpy(md5_buf, hash, sizeof md5_buf - 1);
    md5_buf[sizeof md5_buf - 1] = '\0';
    return md5_buf;
}

const char *hash_sha512(const char *password, char *salt)
{
    if (salt == NULL)
        salt = make_salt();
    cut_salt(salt, 2);

    // 6 characters, as above.
    (void)snprintf(sha512_buf, sizeof sha512_buf, "$6$%s$", salt);
    const char *hash = crypt_checked("SHA-512 crypt", password, sha512_buf,
                                     salt, sizeof sha512_buf);
    if (hash == NULL)
        return NULL;
    strncpy(sha512_buf, hash, sizeof sha512_buf - 1);
    sha512_buf[sizeof sha512_buf - 1] = '\0';
    return sha512_buf;
}

// Reads one byte from standard input, again when a signal interrupted the
// read.  Returns what read(2) returned.
ssize_t read_byte(char *c)
{
    for (;;) {
        ssize_t n = read(0, c, 1);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Reads the rest of an input line and drops it.  On a terminal this keeps
// the tail of an over-long password from reaching the shell once the tool
// has exited.
void discard_line(void)
{
    char c;

    while (read_byte(&c) == 1 && c != '\n') {
    }
}

// Reads the password line into buf (READ_MAX + 1 bytes) and terminates it.
// The line is read a byte at a time until its newline, the end of input, or
// more than READ_MAX bytes: however the input arrives (a pipe fed in bits by
// a slow writer, a terminal without line editing, a file), the line is the
// same, and nothing after its newline is taken from the input.  The newline
// is dropped with a carriage return right before it; every other byte
// belongs to the password, and input that ends without a newline is the
// password as it stands.  Returns the password's length, or READ_FAILED,
// READ_NOTHING or READ_TOO_LONG.
ssize_t read_password(char *buf)
{
    size_t len = 0;

    for (;;) {
        if (len == READ_MAX) {
            // No newline within the longest acceptable line.
            discard_line();
            len = PASSWORD_MAX + 1;
            break;
        }
        ssize_t n = read_byte(&buf[len]);
        if (n < 0) {
            explicit_bzero(buf, READ_MAX + 1);
            return READ_FAILED;
        }
        if (n == 0) {
            if (len == 0)
                return READ_NOTHING;
            break;
        }
        if (buf[len] == '\n') {
            if (len > 0 && buf[len - 1] == '\r')
                len--;
            break;
        }
        len++;
    }

    if (len > PASSWORD_MAX) {
        explicit_bzero(buf, READ_MAX + 1);
        return READ_TOO_LONG;
    }
    buf[len] = '\0';
    return (ssize_t)len;
}

} // namespace

int main(int argc, char **argv)
{
    enum scheme scheme = SCHEME_SHA512;
    bool echo_off = false;
    int opt;

    // '+': options end at the first argument that is not one, as POSIX
    // getopt does; an option after the salt is an ignored argument.
    while ((opt = getopt(argc, argv, "+dehm")) != -1) {
        switch (opt) {
        case 'd':
            scheme = SCHEME_DES;
            break;
        case 'e':
            echo_off = true;
            break;
        case 'h':
            print_usage();
            return 0;
        case 'm':
            scheme = SCHEME_MD5;
            break;
        default:    // getopt has printed its diagnostic
            print_usage();
            return 1;
        }
    }

    char *salt = optind < argc ? argv[optind] : NULL;

    if (echo_off) {
        if (tcgetattr(0, &found_tio) != 0) {
            perror("could not get terminal characteristics");
            return 1;
        }
        turn_echo_off();
    }

    put(PROMPT, sizeof PROMPT - 1);
    prompt_line_open = true;

    char password[READ_MAX + 1];
    ssize_t len = read_password(password);
    int read_errno = errno;

    if (echo_off) {
        // The typed newline was not echoed: end the prompt's line here.
        end_prompt_line();
        give_terminal_back();
    }

    if (len < 0)
        end_prompt_line();
    switch (len) {
    case READ_FAILED:
        (void)fprintf(stderr, "zat_pwd: could not read the password: %s\n",
                      strerror(read_errno));
        return 1;
    case READ_NOTHING:
        (void)fputs("zat_pwd: no password: "
                    "the input ended before one was typed\n", stderr);
        return 1;
    case READ_TOO_LONG:
        (void)fprintf(stderr,
                      "zat_pwd: the password is longer than %zu characters; "
                      "nothing was hashed\n", PASSWORD_MAX);
        return 1;
    default:
        break;
    }

    if (scheme == SCHEME_DES && (size_t)len > DES_KEY_CHARS)
        (void)fprintf(stderr, "zat_pwd: warning: DES crypt uses only the "
                      "first %zu characters of the password\n",
                      DES_KEY_CHARS);

    // Without a salt argument the salt is made now, after the read.
    const char *hash;
    switch (scheme) {
    case SCHEME_DES:
        hash = hash_des(password, salt);
        break;
    case SCHEME_MD5:
        hash = hash_md5(password, salt);
        break;
    default:
        hash = hash_sha512(password, salt);
        break;
    }
    explicit_bzero(password, sizeof password);
    if (hash == NULL)
        return 1;

    put(hash, strlen(hash));
    put("\n", 1);
    return 0;
}
