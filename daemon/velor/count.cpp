// countuser() and countusers_by_finger(): how many other sessions a user has,
// from the who-log alone or from the finger services of the NASes that the
// who-log names for the user.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/velor/finger.h"
#include "daemon/velor/velor.h"
#include "daemon/velor/wholog.h"

using zat_velor::field_equals;
using zat_velor::portname;
using zat_velor::wholog_entry;

namespace {

bool read_entry(FILE *file, wholog_entry *entry)
{
    return fread(entry, zat_velor::WHOLOG_ENTRY_SIZE, 1, file) == 1;
}

// A stored field as a NUL-terminated text in `out` (width + 1 bytes): a
// damaged field without its NUL byte is read only within its width.
void field_text(char *out, const char *field, size_t width)
{
    size_t n = strnlen(field, width);
    memcpy(out, field, n);
    out[n] = '\0';
}

// Whether the entry is one of the user's sessions.  A free slot is nobody's,
// also when the caller's user name is empty.
bool users_entry(const wholog_entry &entry, const struct user_ident *id)
{
    return entry.user[0] != '\0' && ZAT_FIELD_EQUALS(entry, user, id->user);
}

} // namespace

extern "C" int countuser(const struct user_ident *id)
{
    FILE *file = zat_velor::open_wholog();
    if (!file)
        return 0;

    int count = 0;
    wholog_entry entry;
    while (read_entry(file, &entry)) {
        if (!users_entry(entry, id))
            continue;
        char stored_port[sizeof entry.port + 1];
        field_text(stored_port, entry.port, sizeof entry.port);
        const char *port = portname(stored_port);
        const char *caller_port = portname(id->nas_port);
        // The caller's texts are compared as the who-log would store them.
        if (!field_equals(port, sizeof entry.port, caller_port) || !ZAT_FIELD_EQUALS(entry, nas, id->nas))
            count++;
        // Otherwise it is the caller's own NAS port.
    }
    // Only read: closing can lose nothing, and ends the lock.
    (void)fclose(file);
    return count;
}

extern "C" int countusers_by_finger(const struct user_ident *id)
{
    FILE *file = zat_velor::open_wholog();
    if (!file)
        return 0;

    wholog_entry entry;
    if (!read_entry(file, &entry)) {
        (void)fclose(file); // only read, as below
        return 0;
    }

    // The NASes already asked in this call, each asked at most once.
    char **fingered = nullptr;
    int fingered_count = 0;
    int total = 0;
    do {
        if (!users_entry(entry, id))
            continue;
        char nas[sizeof entry.nas + 1];
        field_text(nas, entry.nas, sizeof entry.nas);

        bool asked = false;
        for (int i = 0; i < fingered_count && !asked; i++)
            asked = strcmp(fingered[i], nas) == 0;
        if (asked)
            continue;
        // Listed before the query: a NAS whose query fails is not asked again.
        fingered = static_cast<char **>(
            zat_realloc(fingered, static_cast<int>(sizeof(char *)) * (fingered_count + 1)));
        fingered[fingered_count++] = zat_strdup(nas);

        if (debug & DEBUG_LIMIT_FLAG)
            report(7, "Running finger on %s for user %s/%s", nas, id->user, id->nas_port);
        int count = zat_velor::ckfinger(nas, id);
        if (debug & DEBUG_LIMIT_FLAG)
            report(7, "finger reports %d active session%s for %s on %s", count, count == 1 ? "" : "s", id->user,
                   nas);
        total += count;
    } while (read_entry(file, &entry));

    // Closing ends the lock, held through every query.  The file was only
    // read, so closing can lose nothing.
    (void)fclose(file);
    for (int i = 0; i < fingered_count; i++)
        free(fingered[i]);
    free(fingered);
    return total;
}
