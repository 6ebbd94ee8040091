// The NAS's side of a TACACS+ conversation, for tests that play it: request
// bodies (RFC 8907), framing and obfuscation with the shared key, and reading
// the server's replies off the socket.
#ifndef ZAT_TEST_NAS_H
#define ZAT_TEST_NAS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/support/pcap.h"
#include "tests/support/sockets.h"

namespace zat_test {

using bytes = std::vector<unsigned char>;

bytes authen_start_body(const std::string &user, const std::string &port, const std::string &rem_addr,
                        const std::string &data = "");
bytes authen_continue_body(const std::string &user_msg, const std::string &data = "", unsigned char flags = 0);
bytes author_request_body(const std::string &user, const std::string &port, const std::string &rem_addr,
                          const std::vector<std::string> &args);
bytes acct_request_body(unsigned char flags, const std::string &user, const std::string &port,
                        const std::string &rem_addr, const std::vector<std::string> &args);

// Header and body as they go on the wire: obfuscated with the key unless
// flags holds 0x01 or there is no key.
bytes frame(unsigned char version, unsigned char type, unsigned char seq, unsigned char flags, uint32_t session_id,
            const bytes &body, const char *key);

struct reply {
    bytes wire;   // as received
    bytes plain;  // header and de-obfuscated body
    unsigned char type() const { return plain[1]; }
    unsigned char seq() const { return plain[2]; }
    unsigned char flags() const { return plain[3]; }
    bytes body() const { return bytes(plain.begin() + 12, plain.end()); }
};

// Reads one whole reply from fd and de-obfuscates it unless its 0x01 flag is set.
bool read_reply(int fd, const char *key, reply &out);

// A reply body taken apart as a NAS does it: the fixed fields first, then
// the texts at the places that the length fields give.  `framed` holds when
// the lengths add up to exactly the body's size; a NAS discards a reply for
// which they do not.  The texts are read only as far as the body goes.
struct decoded_reply {
    bool framed = false;
    int status = -1;
    std::vector<std::string> args;  // authorization RESPONSE only
    std::string server_msg, data;
};
decoded_reply decode_author_response(const bytes &body);
decoded_reply decode_acct_reply(const bytes &body);

// The NAS's end of a loopback TCP connection to the daemon under test, with
// the shared key; everything that crosses it is kept for the decoder.
struct nas_link {
    socket_pair link;
    capture cap;
    const char *key = nullptr;
    uint32_t session_id = 0;

    bool connect(const char *shared_key);
    // Frames, obfuscates, records and sends one request of session_id.
    bytes send(unsigned char type, unsigned char seq, unsigned char flags, const bytes &body,
               unsigned char version = 0xc0);
    // Reads, records and de-obfuscates one reply.
    reply receive();
};

} // namespace zat_test

#endif
