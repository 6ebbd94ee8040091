// The module's state at program start: no key loaded is the all-zero key, and
// a block call before any mode call encrypts.  This binary holds one test so
// that it always sees the state as the process starts.
#include <gtest/gtest.h>

#include <random>

#include "daemon/orbel/internal.h"
#include "daemon/orbel/orbel.h"
#include "tests/orbel/support.h"

namespace {

using orbel_test::Block;

TEST(ProgramStart, EncryptsUnderTheZeroKeyThenUnderALoadedKey)
{
    ASSERT_EQ(zat_orbel::des_mode, 0) << "a mode was set before the test";
    for (const auto &pair : orbel_test::loaded_schedule())
        ASSERT_EQ(pair[0] | pair[1], 0u) << "a key was loaded before the test";

    const Block zero_key{};
    std::mt19937_64 rng(5);
    for (int i = 0; i < 100; ++i) {
        Block in;
        for (auto &b : in)
            b = static_cast<unsigned char>(rng());
        ASSERT_EQ(orbel_test::run_des(in), orbel_test::openssl_des(zero_key, in, true))
            << orbel_test::to_hex(in);
    }

    // A key loaded before the first mode call: still encryption.
    const Block key = orbel_test::from_hex("0123456789abcdef");
    zat_des_loadkey(key.data(), 0);
    ASSERT_EQ(zat_orbel::des_mode, 0);
    EXPECT_EQ(orbel_test::to_hex(orbel_test::run_des(orbel_test::from_hex("4e6f772069732074"))),
              "3fa40e8a984d4815");

    // The first mode call then takes over.
    EXPECT_EQ(zat_set_des_mode(0), -1);
    EXPECT_EQ(orbel_test::to_hex(orbel_test::run_des(orbel_test::from_hex("3fa40e8a984d4815"))),
              "4e6f772069732074");
}

} // namespace
