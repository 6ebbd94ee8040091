// The published known-answer vectors, both directions, and the key schedule
// of each vector's key against the subkeys computed bit by bit.
#include <gtest/gtest.h>

#include <cctype>

#include "daemon/orbel/orbel.h"
#include "tests/orbel/support.h"

namespace {

using orbel_test::Block;
using orbel_test::Vector;

class KnownAnswer : public ::testing::TestWithParam<Vector> {};

TEST_P(KnownAnswer, EncryptsPlaintextToCiphertext)
{
    const Vector &v = GetParam();
    zat_des_loadkey(v.key.data(), 0);
    ASSERT_EQ(zat_set_des_mode(1), 1);
    EXPECT_EQ(orbel_test::to_hex(orbel_test::run_des(v.plain)), orbel_test::to_hex(v.cipher));
}

TEST_P(KnownAnswer, DecryptsCiphertextToPlaintext)
{
    const Vector &v = GetParam();
    zat_des_loadkey(v.key.data(), 0);
    ASSERT_EQ(zat_set_des_mode(0), -1);
    EXPECT_EQ(orbel_test::to_hex(orbel_test::run_des(v.cipher)), orbel_test::to_hex(v.plain));
}

TEST_P(KnownAnswer, ScheduleIsTheSubkeysOfTheKey)
{
    const Vector &v = GetParam();
    zat_des_loadkey(v.key.data(), 0);
    auto want = orbel_test::reference_schedule(v.key);
    auto got = orbel_test::loaded_schedule();
    for (int r = 0; r < 16; ++r)
        for (int w = 0; w < 2; ++w)
            EXPECT_EQ(got[r][w], want[r][w]) << "round " << r + 1 << " word " << w;
}

std::string vector_name(const ::testing::TestParamInfo<Vector> &info)
{
    std::string name;
    for (char c : info.param.source)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return std::to_string(info.index) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(Published, KnownAnswer, ::testing::ValuesIn(orbel_test::load_vectors()),
                         vector_name);

} // namespace
