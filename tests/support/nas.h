// The NAS's side of a TACACS+ conversation, for tests that play it: request
// bodies (RFC 8907), framing and obfuscation with the shared key, and reading
// the server's replies off the socket.
#ifndef ZAT_TEST_NAS_H
#define ZAT_TEST_NAS_H

#include <stdint.h>

#include <string>
#include <vector>

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

} // namespace zat_test

#endif
