// Request packets as a NAS builds them (RFC 8907), with every fixed field
// chosen by the test, for the decoder tables and the tshark comparison.
#ifndef ZAT_TEST_REQUEST_PACKETS_H
#define ZAT_TEST_REQUEST_PACKETS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "daemon/packet/request.h"

namespace request_test {

using bytes = std::vector<unsigned char>;

// Authentication START.
struct start_fields {
    int action, priv_lvl, authen_type, authen_service;
    std::string user, port, rem_addr, data;
};

// Authentication CONTINUE.
struct continue_fields {
    int flags;
    std::string user_msg, data;
};

// Authorization REQUEST, and accounting REQUEST with its flags byte.
struct arg_fields {
    int flags; // accounting only
    int authen_method, priv_lvl, authen_type, authen_service;
    std::string user, port, rem_addr;
    std::vector<std::string> args;
};

bytes start_body(const start_fields &f);
// The two 16-bit lengths big-endian, as on the wire.
bytes continue_body(const continue_fields &f);
bytes author_body(const arg_fields &f);
bytes acct_body(const arg_fields &f);

// Header (version 0xc0, flags 0x01, the header's length bytes from the body)
// and body in one block, as read_packet() returns it.
bytes packet(unsigned char type, unsigned char seq, const bytes &body, uint32_t session_id = 0x01020304);

// A CONTINUE packet turned the way get_authen_continue() returns it: the
// body's two 16-bit length fields in host order.
bytes host_order_lengths(bytes continue_packet);

// n arguments like "attr007=vvvv...", each of 10 to 30 bytes; with a width,
// each exactly that many bytes.
std::vector<std::string> many_args(int n, int width = 0);

// Valid requests, named for the test output.
struct start_case {
    const char *name;
    start_fields f;
};
struct continue_case {
    const char *name;
    continue_fields f;
};
struct arg_case {
    const char *name;
    arg_fields f;
};
std::vector<start_case> start_cases();
std::vector<continue_case> continue_cases();
std::vector<arg_case> author_cases();
std::vector<arg_case> acct_cases();

// Arguments of a NAS's shell authorization, and of the reference accounting
// START below.
extern const std::vector<std::string> shell_args;
extern const std::vector<std::string> reference_args;

// A reference accounting START, recorded and checked with tshark
// (key "tacacs-test-key", session id 0x2a2b2c2d): the packet as on the wire,
// and with its body in plain form (START, method 6, priv 1, ASCII, LOGIN,
// joe, tty5, 10.1.2.3, service=shell, task_id=7).
extern const char reference_acct_wire[];
extern const char reference_acct_plain[];
extern const char reference_key[];

// The bytes of a view.
std::string text(const zat_bytes &view);

} // namespace request_test

#endif
