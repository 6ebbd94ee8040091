// The who-log file format and the pieces that its writer and its readers
// share.  Internal to the module.
#ifndef ZAT_VELOR_WHOLOG_H
#define ZAT_VELOR_WHOLOG_H

#include <stddef.h>
#include <stdio.h>

namespace zat_velor {

// One session: fixed-width, NUL-padded text fields, each cut to its width
// less one byte.  An entry whose user begins with NUL is a free slot.
struct wholog_entry {
    char user[64];
    char nas[32];
    char port[32];
    char extra[64];
};

constexpr int WHOLOG_ENTRY_SIZE = 192;
static_assert(sizeof(wholog_entry) == WHOLOG_ENTRY_SIZE, "who-log entries are 192 bytes on disk");

// The part of a NAS port name from its first digit on (Async12 -> 12,
// tty3 -> 3); other names unchanged.  Points into its argument.
const char *portname(const char *port);

// Whether a stored field equals a caller's text as it would be stored, that
// is cut to the field's width less one byte.  A damaged field without a NUL
// byte is read only within its width.
bool field_equals(const char *field, size_t width, const char *text);

#define ZAT_FIELD_EQUALS(entry, member, text) \
    ::zat_velor::field_equals((entry).member, sizeof((entry).member), (text))

// Opens the who-log for reading and writing and takes its lock; null when it
// cannot be opened.  Closing the stream ends the lock.
FILE *open_wholog(void);

} // namespace zat_velor

#endif
