// The who-log writer: velor_loginit creates the file, loguser keeps one entry
// per started and not yet stopped session, keyed by NAS name and reduced
// NAS port, up to date from accounting START and STOP records.
#include "daemon/velor/loguser.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "daemon/host/host.h"
#include "daemon/velor/velor.h"
#include "daemon/velor/wholog.h"

namespace zat_velor {

namespace {

// Hands bytes to the kernel at the stream's position, in one write.
bool put_bytes(FILE *stream, const void *bytes, size_t count)
{
    return fwrite(bytes, count, 1, stream) == 1 && fflush(stream) == 0;
}

} // namespace

void write_record(const char *path, FILE *stream, const wholog_entry *entry, long offset)
{
    if (fseek(stream, offset, SEEK_SET) != 0) {
        int saved = errno;
        report(3, "%s fd=%d Cannot seek to %d %s", path, fileno(stream), static_cast<int>(offset),
               strerror(saved));
        errno = saved;
        // Writing at whatever position the stream has now could put the
        // entry over another session's.
        return;
    }
    // A process may be killed at any moment, and the kernel may stop a write
    // that spans a page boundary between the pages (192-byte entries cross
    // them every so often).  So the entry is first made a free slot by a
    // one-byte write of the NUL that starts an empty user, then gets the
    // rest of its bytes, and only then its first byte.  Killed at any point,
    // the entry is the old one, a free slot, or the new one; an append cut
    // short leaves a piece shorter than an entry, which is not one.
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(entry);
    const unsigned char nul = 0;
    bool written = put_bytes(stream, &nul, 1) && put_bytes(stream, bytes + 1, WHOLOG_ENTRY_SIZE - 1);
    if (written && bytes[0] != 0)
        written = fseek(stream, offset, SEEK_SET) == 0 && put_bytes(stream, bytes, 1);
    if (!written)
        report(3, "%s fd=%d Cannot write %d bytes", path, fileno(stream), WHOLOG_ENTRY_SIZE);
}

} // namespace zat_velor

namespace {

using zat_velor::wholog_entry;
using zat_velor::WHOLOG_ENTRY_SIZE;

// Copies text into a fixed-width field: cut to the width less one byte, the
// rest NUL.  The field must be zeroed already.
void put_field(char *field, size_t width, const char *text)
{
    memcpy(field, text, strnlen(text, width - 1));
}

#define PUT_FIELD(entry, member, text) put_field((entry).member, sizeof((entry).member), (text))

bool is_command_accounting(const struct acct_record *rec)
{
    for (int i = 0; i < rec->arg_count; i++) {
        const char *arg = rec->args[i];
        if (strncmp(arg, "cmd=", 4) == 0 && arg[4] != '\0')
            return true;
    }
    return false;
}

bool matches(const wholog_entry &entry, const char *nas, const char *port)
{
    return ZAT_FIELD_EQUALS(entry, nas, nas) && ZAT_FIELD_EQUALS(entry, port, port);
}

// Clears every entry of the NAS port, whoever it names.
void stop_update(const char *path, FILE *stream, const struct user_ident *id, const char *port)
{
    const wholog_entry free_entry = {};
    wholog_entry entry;
    // Whether the stream stands at the next entry after a read.  Reading on
    // from there needs no seek (glibc makes a system call for every fseek).
    // After a write the scan seeks again: a failed write may have left the
    // stream anywhere.
    bool positioned = false;
    for (int n = 0;; n++) {
        long offset = static_cast<long>(n) * WHOLOG_ENTRY_SIZE;
        if (!positioned && fseek(stream, offset, SEEK_SET) != 0)
            break;
        if (fread(&entry, WHOLOG_ENTRY_SIZE, 1, stream) != 1)
            break;
        positioned = true;
        if (!matches(entry, id->nas, port))
            continue;
        zat_velor::write_record(path, stream, &free_entry, offset);
        positioned = false;
        if (debug & DEBUG_LIMIT_FLAG)
            report(7, "STOP record -- clear %s entry %d for %s/%s", path, n, id->user, port);
    }
}

// Writes the session over the entry of its NAS port, into the last free slot
// before it, or at the end of the file.
void start_update(const char *path, FILE *stream, const struct user_ident *id, const char *port)
{
    wholog_entry entry;
    int count = 0;
    int existing = -1;
    int free_slot = -1;
    while (fread(&entry, WHOLOG_ENTRY_SIZE, 1, stream) == 1) {
        if (matches(entry, id->nas, port)) {
            existing = count;
            break;
        }
        if (entry.user[0] == '\0')
            free_slot = count;
        count++;
    }

    wholog_entry fresh = {};
    PUT_FIELD(fresh, user, id->user);
    PUT_FIELD(fresh, nas, id->nas);
    PUT_FIELD(fresh, port, port);
    PUT_FIELD(fresh, extra, id->extra);

    if (existing >= 0) {
        if (debug & DEBUG_LIMIT_FLAG)
            report(7, "START record -- overwrite existing %s entry %d for %s %s/%s", path, existing,
                   fresh.nas, fresh.user, fresh.port);
        zat_velor::write_record(path, stream, &fresh,
                                static_cast<long>(existing) * WHOLOG_ENTRY_SIZE);
        return;
    }
    // A short piece after the last whole entry is not an entry: an append
    // writes over it.
    int index = free_slot >= 0 ? free_slot : count;
    zat_velor::write_record(path, stream, &fresh, static_cast<long>(index) * WHOLOG_ENTRY_SIZE);
    if (debug & DEBUG_LIMIT_FLAG)
        report(7, "START record -- %s entry %d for %s %s/%s added", path, index, fresh.nas,
               fresh.user, fresh.port);
}

} // namespace

extern "C" {

void velor_loginit(void)
{
    const char *path = wholog;
    int fd = open(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        report(3, "Can't create: %s", path);
        return;
    }
    if (debug & DEBUG_LIMIT_FLAG)
        report(7, "Initialize %s", path);
    close(fd);
}

void loguser(const struct acct_record *rec)
{
    if (rec->kind != ACCT_KIND_START && rec->kind != ACCT_KIND_STOP)
        return;
    if (is_command_accounting(rec))
        return;
    const struct user_ident *id = rec->ident;
    const char *port = zat_velor::portname(id->nas_port);

    const char *path = wholog;
    FILE *stream = zat_velor::open_wholog();
    if (!stream) {
        report(3, "Can't open %s for updating", path);
        return;
    }
    if (rec->kind == ACCT_KIND_STOP)
        stop_update(path, stream, id, port);
    else
        start_update(path, stream, id, port);
    // write_record flushed every write and logged a failure; closing ends the
    // lock and has nothing left to lose.
    (void)fclose(stream);
}

} // extern "C"
