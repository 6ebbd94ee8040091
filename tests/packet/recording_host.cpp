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
std::vector<std::vector<unsigned char>> out_dumps, in_dumps;

uint32_t be32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

std::vector<unsigned char> whole(const unsigned char *packet)
{
    return std::vector<unsigned char>(packet, packet + 12 + be32(packet + 8));
}

} // namespace

void reset()
{
    xor_result = 0;
    calls.clear();
    sizes.clear();
    out_dumps.clear();
    in_dumps.clear();
}

void set_xor_result(int result) { xor_result = result; }
const std::vector<xor_call> &xor_calls() { return calls; }
const std::vector<int> &allocations() { return sizes; }
const std::vector<std::vector<unsigned char>> &outgoing_dumps() { return out_dumps; }
const std::vector<std::vector<unsigned char>> &incoming_dumps() { return in_dumps; }

} // namespace recording_host

using namespace recording_host;

extern "C" int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    xor_call call{packet, body, key != nullptr, key ? key : "", whole(packet)};
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

extern "C" const char *summarise_incoming_packet_type(const unsigned char *packet)
{
    static std::string text;
    text = "request type " + std::to_string(packet[1]);
    return text.c_str();
}

extern "C" const char *summarise_outgoing_packet_type(const unsigned char *packet)
{
    static std::string text;
    text = "reply type " + std::to_string(packet[1]);
    return text.c_str();
}

extern "C" void dump_nas_pak(const unsigned char *packet)
{
    in_dumps.push_back(whole(packet));
}

extern "C" void dump_tacacs_pak(const unsigned char *packet)
{
    out_dumps.push_back(whole(packet));
}
