// The who-log writer's internal pieces, shared with the module's tests.
#ifndef ZAT_VELOR_LOGUSER_H
#define ZAT_VELOR_LOGUSER_H

#include <stdio.h>

#include "daemon/velor/wholog.h"

namespace zat_velor {

// Writes one entry at a byte offset of the open who-log.  path is only for
// the messages.  A failed seek is logged and nothing is written, so an entry
// never lands at another entry's place; a failed write is logged and the
// entry left at most a free slot.  The caller learns of neither.  The entry
// reaches the file before the call returns, in steps that never show a
// mixture of the old and the new entry to a later reader, whenever the
// writing process is killed.
void write_record(const char *path, FILE *stream, const wholog_entry *entry, long offset);

} // namespace zat_velor

#endif
