// The daemon's allocator: never returns null.  A request it cannot meet is
// reported and ends the process, as a daemon with no memory left cannot go on.
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"

namespace {

[[noreturn]] void out_of_memory(const char *what, int size)
{
    report(3, "%s: cannot allocate %d bytes", what, size);
    abort();
}

} // namespace

extern "C" {

void *zat_malloc(int size)
{
    if (size < 0)
        out_of_memory("zat_malloc", size);
    void *p = malloc(size ? static_cast<size_t>(size) : 1);
    if (!p)
        out_of_memory("zat_malloc", size);
    return p;
}

void *zat_realloc(void *ptr, int size)
{
    if (size < 0)
        out_of_memory("zat_realloc", size);
    void *p = realloc(ptr, size ? static_cast<size_t>(size) : 1);
    if (!p)
        out_of_memory("zat_realloc", size);
    return p;
}

char *zat_strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (!p)
        out_of_memory("zat_strdup", static_cast<int>(n > 0x7fffffff ? 0x7fffffff : n));
    memcpy(p, s, n);
    return p;
}

} // extern "C"
