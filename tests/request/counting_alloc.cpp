#include "tests/request/counting_alloc.h"

#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"

namespace counting_alloc {
namespace {

int count;

void *checked(void *p)
{
    if (!p)
        abort();
    return p;
}

} // namespace

int calls()
{
    return count;
}

} // namespace counting_alloc

extern "C" void *zat_malloc(int size)
{
    counting_alloc::count++;
    return counting_alloc::checked(malloc(size > 0 ? size_t(size) : 1));
}

extern "C" void *zat_realloc(void *ptr, int size)
{
    counting_alloc::count++;
    return counting_alloc::checked(realloc(ptr, size > 0 ? size_t(size) : 1));
}

extern "C" char *zat_strdup(const char *s)
{
    counting_alloc::count++;
    return static_cast<char *>(counting_alloc::checked(strdup(s)));
}
