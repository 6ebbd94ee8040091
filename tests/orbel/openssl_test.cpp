// Differential test against OpenSSL's DES: random keys and blocks in both
// directions and under both key conventions.
#include <gtest/gtest.h>

#include <random>

#include "daemon/orbel/orbel.h"
#include "tests/orbel/support.h"

namespace {

using orbel_test::Block;

struct Convention {
    const char *name;
    int seven_bit;
};

void PrintTo(const Convention &c, std::ostream *os)
{
    *os << c.name << " (seven_bit " << c.seven_bit << ")";
}

class AgainstOpenssl : public ::testing::TestWithParam<Convention> {};

TEST_P(AgainstOpenssl, RandomKeysAndBlocks)
{
    const int seven_bit = GetParam().seven_bit;
    const int cases = 100000;
    std::mt19937_64 rng(0x6f72626c + seven_bit);
    int failures = 0;
    for (int i = 0; i < cases && failures < 5; ++i) {
        uint64_t k = rng(), x = rng();
        Block key, des_key, in;
        for (int p = 0; p < 8; ++p) {
            key[p] = static_cast<unsigned char>(k >> (8 * p));
            in[p] = static_cast<unsigned char>(x >> (8 * p));
            if (seven_bit) {
                key[p] &= 0x7f;
                des_key[p] = static_cast<unsigned char>(key[p] << 1);
            } else {
                des_key[p] = key[p];
            }
        }
        zat_des_loadkey(key.data(), seven_bit);
        for (bool encrypt : {true, false}) {
            zat_set_des_mode(encrypt);
            Block got = orbel_test::run_des(in);
            Block want = orbel_test::openssl_des(des_key, in, encrypt);
            if (got != want) {
                ++failures;
                ADD_FAILURE() << "case " << i << (encrypt ? " encrypt" : " decrypt") << " key "
                              << orbel_test::to_hex(key) << " block " << orbel_test::to_hex(in)
                              << ": got " << orbel_test::to_hex(got) << ", OpenSSL "
                              << orbel_test::to_hex(want);
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Conventions, AgainstOpenssl,
                         ::testing::Values(Convention{"Parity", 0}, Convention{"SevenBit", 1}),
                         [](const ::testing::TestParamInfo<Convention> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
