#include "tests/packet/recording_host.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"

namespace recording_host {
namespace {

int xor_result;
std::vector<xor_call> calls;
std::vector<int> sizes;

} // namespace

void reset()
{
    xor_result = 0;
    calls.clear();
    sizes.clear();
}

void set_xor_result(int result) { xor_result = result; }
const std::vector<xor_call> &xor_calls() { return calls; }
const std::vector<int> &allocations() { return sizes; }

} // namespace recording_host

using namespace recording_host;

extern "C" int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    uint32_t length = (uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) |
                      (uint32_t(packet[10]) << 8) | uint32_t(packet[11]);
    xor_call call{packet, body, key != nullptr, key ? key : "", {}};
    call.seen.assign(packet, packet + 12 + length);
    calls.push_back(call);
    return xor_result;
}

extern "C" void *zat_malloc(int size)
{
    sizes.push_back(size);
    void *p = malloc(size > 0 ? size_t(size) : 1);
    if (!p)
        abort();
    return p;
}

extern "C" void *zat_realloc(void *ptr, int size)
{
    sizes.push_back(size);
    void *p = realloc(ptr, size > 0 ? size_t(size) : 1);
    if (!p)
        abort();
    return p;
}

extern "C" char *zat_strdup(const char *s)
{
    char *p = strdup(s);
    if (!p)
        abort();
    return p;
}
