// The host's allocator for the request tests, counting its calls, in place of
// the stand-in host's: the decoders must make none, the who-log glue some.
#ifndef ZAT_TEST_COUNTING_ALLOC_H
#define ZAT_TEST_COUNTING_ALLOC_H

namespace counting_alloc {

// zat_malloc(), zat_realloc() and zat_strdup() calls so far.
int calls();

} // namespace counting_alloc

#endif
