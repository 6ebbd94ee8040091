// Helpers of the DES tests: hex blocks, the known-answer vectors, OpenSSL's
// DES as the reference cipher and a bit-by-bit FIPS 46 key schedule.
#ifndef ZAT_TESTS_ORBEL_SUPPORT_H
#define ZAT_TESTS_ORBEL_SUPPORT_H

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace orbel_test {

using Block = std::array<unsigned char, 8>;

Block from_hex(const std::string &hex);
std::string to_hex(const Block &b);

struct Vector {
    Block key, plain, cipher;
    std::string source;
};
// The vector file's lines, in order; fails the calling test when it is missing
// or a line is malformed (an empty list is never returned silently).
std::vector<Vector> load_vectors();
void PrintTo(const Vector &v, std::ostream *os);

// OpenSSL's DES_ecb_encrypt of one block under an 8-byte DES key (parity
// bits ignored).
Block openssl_des(const Block &key, const Block &in, bool encrypt);

// The subkeys K1..K16 of a DES key, computed bit by bit from PC-1, the
// shifts and PC-2, each put into the schedule's two-word layout.
std::array<std::array<uint32_t, 2>, 16> reference_schedule(const Block &key);

// The module's schedule as it stands.
std::array<std::array<uint32_t, 2>, 16> loaded_schedule();

// The module's result for one block under the current key and mode.
Block run_des(Block b);

} // namespace orbel_test

#endif
