// A test host for the packet module: it replaces the stand-in host's md5_xor,
// allocator, summaries and dumps, recording every call, so that a test sees which key and
// which addresses the module passed, what it allocated, and can choose what
// md5_xor returns.  The other services come from the stand-in host.
#ifndef ZAT_TEST_RECORDING_HOST_H
#define ZAT_TEST_RECORDING_HOST_H

#include <string>
#include <vector>

namespace recording_host {

struct xor_call {
    const unsigned char *packet;
    const unsigned char *body;
    bool has_key;
    std::string key;
    std::vector<unsigned char> seen;  // header and body as md5_xor received them
};

void reset();
// md5_xor() returns this (0 by default) and leaves the body as it is.
void set_xor_result(int result);
const std::vector<xor_call> &xor_calls();
// Sizes of every zat_malloc()/zat_realloc() block since reset().
const std::vector<int> &allocations();
// Packets as dump_tacacs_pak() / dump_nas_pak() saw them (header and body).
const std::vector<std::vector<unsigned char>> &outgoing_dumps();
const std::vector<std::vector<unsigned char>> &incoming_dumps();

} // namespace recording_host

#endif
