// Fuzzes the who-log writer with arbitrary file contents, port names, NAS
// and user names and record kinds.  After each update the file must differ
// from before only by whole entries: on a stop, entries turned free; on a
// start, one entry (an existing one, a free one or one appended) replaced by
// the session's entry exactly as it is stored.
//
// Input: one control byte, three length bytes (port, NAS, user), those
// texts, then the who-log contents.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"
#include "daemon/velor/velor.h"
#include "daemon/velor/wholog.h"

namespace {

constexpr size_t entry_size = 192;

std::string dir;
std::string path;

void remove_dir()
{
    unlink(path.c_str());
    rmdir(dir.c_str());
}

void fail(const char *what)
{
    fprintf(stderr, "wholog fuzz: %s\n", what);
    abort();
}

bool read_all(std::string *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    fclose(f);
    return true;
}

void write_all(const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        fail("cannot write the who-log");
}

// Text cut to a field's width less one, NUL-padded to the width.
std::string field(const char *text, size_t width)
{
    std::string f(text, strnlen(text, width - 1));
    f.resize(width, '\0');
    return f;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// What portname promises: a pointer into its argument, at the first digit of
// an Async or tty name, otherwise the argument itself.
void check_portname(const char *port, const char *reduced)
{
    size_t len = strlen(port);
    if (reduced < port || reduced > port + len)
        fail("portname points outside its argument");
    bool prefixed = strncmp(port, "Async", 5) == 0 || strncmp(port, "tty", 3) == 0;
    const char *first_digit = nullptr;
    for (const char *c = port; *c && !first_digit; c++)
        if (is_digit(*c))
            first_digit = c;
    const char *want = (prefixed && first_digit) ? first_digit : port;
    if (reduced != want)
        fail("portname reduced to the wrong place");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/wholog-fuzz-XXXXXX";
    char buf[256];
    snprintf(buf, sizeof buf, "%s", pattern.c_str());
    if (!mkdtemp(buf))
        fail("mkdtemp");
    dir = buf;
    path = dir + "/zatwho.log";
    wholog = path.c_str();
    atexit(remove_dir);
    standin_capture_reports(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint8_t control = data[0];
    size_t lens[3] = {data[1], data[2], data[3]};
    size_t at = 4;
    std::string texts[3];
    for (int i = 0; i < 3; i++) {
        size_t n = lens[i] < size - at ? lens[i] : size - at;
        texts[i].assign(reinterpret_cast<const char *>(data) + at, n);
        at += n;
    }
    std::string before(reinterpret_cast<const char *>(data) + at, size - at);

    static const int kinds[4] = {ACCT_KIND_START, ACCT_KIND_STOP, 3, -7};
    int kind = kinds[control & 3];
    bool command = control & 4;
    debug = (control & 8) ? (DEBUG_LIMIT_FLAG | DEBUG_PORTNAME_FLAG) : 0;
    bool missing = (control & 0x30) == 0x30;

    // c_str() stops at an embedded NUL, as a daemon's texts would.
    const char *port = texts[0].c_str();
    const char *nas = texts[1].c_str();
    const char *user = texts[2].c_str();
    const char *extra = user + strnlen(user, 7);

    check_portname(port, zat_velor::portname(port));

    if (missing)
        unlink(path.c_str());
    else
        write_all(before);

    user_ident id = {user, nas, port, extra};
    const char *args[2] = {"service=shell", command ? "cmd=show run" : "cmd="};
    acct_record rec = {kind, &id, 2, args};
    loguser(&rec);
    standin_clear_reports();

    std::string after;
    if (missing) {
        if (read_all(&after))
            fail("loguser created a missing who-log");
        return 0;
    }
    if (!read_all(&after))
        fail("the who-log vanished");

    bool ignored = command || (kind != ACCT_KIND_START && kind != ACCT_KIND_STOP);
    if (ignored) {
        if (after != before)
            fail("an ignored record changed the file");
        return 0;
    }

    size_t whole = before.size() / entry_size;
    const std::string zeros(entry_size, '\0');
    if (kind == ACCT_KIND_STOP) {
        if (after.size() != before.size())
            fail("a stop changed the file's size");
        for (size_t i = 0; i < whole; i++) {
            std::string b = before.substr(i * entry_size, entry_size);
            std::string a = after.substr(i * entry_size, entry_size);
            if (a != b && a != zeros)
                fail("a stop wrote something other than a free entry");
        }
        if (after.compare(whole * entry_size, std::string::npos, before, whole * entry_size) != 0)
            fail("a stop touched the stray tail");
        return 0;
    }

    std::string fresh = field(user, 64) + field(nas, 32) + field(zat_velor::portname(port), 32) +
                        field(extra, 64);
    size_t appended = (whole + 1) * entry_size;
    if (after.size() != before.size() && after.size() != appended)
        fail("a start left the file at an odd size");
    if (after.size() < before.size())
        fail("a start shrank the file");
    // The entry that the start wrote: the only one that changed, or, when the
    // new entry equals the old one, none at all.
    size_t entries = after.size() / entry_size;
    size_t written = entries;
    for (size_t i = 0; i < entries; i++) {
        std::string a = after.substr(i * entry_size, entry_size);
        std::string b = i * entry_size < before.size() ? before.substr(i * entry_size, entry_size) : std::string();
        if (a == b)
            continue;
        if (written != entries)
            fail("a start changed two entries");
        if (a != fresh)
            fail("a start wrote an entry other than the session's");
        written = i;
    }
    if (after.size() == appended && after.size() != before.size() && written != whole)
        fail("a start grew the file without appending");
    if (after.size() == before.size() &&
        after.compare(whole * entry_size, std::string::npos, before, whole * entry_size) != 0)
        fail("a start touched the stray tail");
    return 0;
}
