#include "tests/orbel/support.h"

#include <openssl/des.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "daemon/orbel/internal.h"
#include "daemon/orbel/orbel.h"

namespace orbel_test {

Block from_hex(const std::string &hex)
{
    Block b{};
    if (hex.size() != 16)
        throw std::runtime_error("block of " + std::to_string(hex.size()) + " hex digits: " + hex);
    for (size_t i = 0; i < 8; ++i) {
        size_t used = 0;
        unsigned long v = std::stoul(hex.substr(2 * i, 2), &used, 16);
        if (used != 2)
            throw std::runtime_error("not hex: " + hex);
        b[i] = static_cast<unsigned char>(v);
    }
    return b;
}

std::string to_hex(const Block &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::vector<Vector> load_vectors()
{
    std::ifstream in(ZAT_DES_VECTORS);
    if (!in)
        throw std::runtime_error("cannot open " ZAT_DES_VECTORS);
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string key, plain, cipher, source;
        if (!(fields >> key >> plain >> cipher))
            throw std::runtime_error("malformed vector line: " + line);
        std::getline(fields, source);
        size_t start = source.find_first_not_of(' ');
        out.push_back({from_hex(key), from_hex(plain), from_hex(cipher),
                       start == std::string::npos ? line : source.substr(start)});
    }
    if (out.empty())
        throw std::runtime_error("no vectors in " ZAT_DES_VECTORS);
    return out;
}

void PrintTo(const Vector &v, std::ostream *os)
{
    *os << v.source << ": key " << to_hex(v.key) << " plain " << to_hex(v.plain)
        << " cipher " << to_hex(v.cipher);
}

Block openssl_des(const Block &key, const Block &in, bool encrypt)
{
    DES_cblock k;
    std::copy(key.begin(), key.end(), k);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_cblock src, dst;
    std::copy(in.begin(), in.end(), src);
    DES_ecb_encrypt(&src, &dst, &ks, encrypt ? DES_ENCRYPT : DES_DECRYPT);
    Block out;
    std::copy(dst, dst + 8, out.begin());
    return out;
}

namespace {

// FIPS 46 permuted choices and shifts, typed here independently of the module.
const int pc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                     10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                     63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                     14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
const int pc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                     23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                     41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                     44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
const int shifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

} // namespace

std::array<std::array<uint32_t, 2>, 16> reference_schedule(const Block &key)
{
    auto key_bit = [&](int n) { return (key[(n - 1) / 8] >> (7 - (n - 1) % 8)) & 1; };
    int c[28], d[28];
    for (int i = 0; i < 28; ++i) {
        c[i] = key_bit(pc1[i]);
        d[i] = key_bit(pc1[28 + i]);
    }
    std::array<std::array<uint32_t, 2>, 16> out{};
    for (int r = 0; r < 16; ++r) {
        for (int s = 0; s < shifts[r]; ++s) {
            int c0 = c[0], d0 = d[0];
            for (int i = 0; i < 27; ++i) {
                c[i] = c[i + 1];
                d[i] = d[i + 1];
            }
            c[27] = c0;
            d[27] = d0;
        }
        for (int j = 1; j <= 48; ++j) {
            int pos = pc2[j - 1];
            int bit = pos <= 28 ? c[pos - 1] : d[pos - 29];
            if (!bit)
                continue;
            int s = (j - 1) / 6, m = (j - 1) % 6;
            out[r][s % 2] |= uint32_t{1} << (8 * (s / 2) + m);
        }
    }
    return out;
}

std::array<std::array<uint32_t, 2>, 16> loaded_schedule()
{
    std::array<std::array<uint32_t, 2>, 16> out{};
    for (int r = 0; r < 16; ++r)
        for (int w = 0; w < 2; ++w)
            out[r][w] = zat_orbel::K_S[r][w];
    return out;
}

Block run_des(Block b)
{
    zat_des(b.data());
    return b;
}

} // namespace orbel_test
