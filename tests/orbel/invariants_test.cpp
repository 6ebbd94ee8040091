// Properties of key loading and of the direction switch that follow from the
// two key conventions and from the process-wide state.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "daemon/orbel/internal.h"
#include "daemon/orbel/orbel.h"
#include "tests/orbel/support.h"

namespace {

using orbel_test::Block;

Block random_block(std::mt19937_64 &rng)
{
    uint64_t x = rng();
    Block b;
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<unsigned char>(x >> (8 * i));
    return b;
}

const Block fips81_key = orbel_test::from_hex("0123456789abcdef");

struct ModeCase {
    int arg;
    int returned;
    int start;
};

void PrintTo(const ModeCase &c, std::ostream *os)
{
    *os << "zat_set_des_mode(" << c.arg << ") returns " << c.returned;
}

class ModeSwitch : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeSwitch, SelectsDirectionAndReturnsIt)
{
    const ModeCase &c = GetParam();
    // Start from the opposite direction so that the call has to change it.
    zat_set_des_mode(c.returned == 1 ? 0 : 1);
    EXPECT_EQ(zat_set_des_mode(c.arg), c.returned);
    EXPECT_EQ(zat_orbel::des_mode, c.returned);
    EXPECT_EQ(zat_orbel::key_start, c.start);

    zat_des_loadkey(fips81_key.data(), 0);
    const Block plain = orbel_test::from_hex("4e6f772069732074");
    const Block cipher = orbel_test::from_hex("3fa40e8a984d4815");
    if (c.returned == 1)
        EXPECT_EQ(orbel_test::run_des(plain), cipher);
    else
        EXPECT_EQ(orbel_test::run_des(cipher), plain);
}

INSTANTIATE_TEST_SUITE_P(Arguments, ModeSwitch,
                         ::testing::Values(ModeCase{1, 1, 0}, ModeCase{2, 1, 0}, ModeCase{-1, 1, 0},
                                           ModeCase{INT_MAX, 1, 0}, ModeCase{INT_MIN, 1, 0},
                                           ModeCase{0, -1, 15}));

TEST(KeyLoad, LeavesTheModeAsItWas)
{
    std::mt19937_64 rng(11);
    for (int mode : {1, 0}) {
        int expect = zat_set_des_mode(mode);
        Block key = random_block(rng);
        zat_des_loadkey(key.data(), 0);
        EXPECT_EQ(zat_orbel::des_mode, expect);
        EXPECT_EQ(zat_orbel::key_start, expect == 1 ? 0 : 15);
        Block in = random_block(rng);
        EXPECT_EQ(orbel_test::run_des(in), orbel_test::openssl_des(key, in, expect == 1));
    }
}

TEST(ModeSet, LeavesTheScheduleAsItWas)
{
    zat_des_loadkey(fips81_key.data(), 0);
    auto before = orbel_test::loaded_schedule();
    zat_set_des_mode(0);
    EXPECT_EQ(orbel_test::loaded_schedule(), before);
    zat_set_des_mode(1);
    EXPECT_EQ(orbel_test::loaded_schedule(), before);
}

TEST(KeyLoad, ReplacesTheWholeSchedule)
{
    // A key with every key bit set, then the all-zero key: nothing of the
    // first may survive into the second.
    const Block ones = orbel_test::from_hex("fefefefefefefefe");
    const Block zero = orbel_test::from_hex("0000000000000000");
    zat_des_loadkey(ones.data(), 0);
    EXPECT_EQ(orbel_test::loaded_schedule(), orbel_test::reference_schedule(ones));
    zat_des_loadkey(zero.data(), 0);
    for (const auto &pair : orbel_test::loaded_schedule())
        EXPECT_EQ(pair[0] | pair[1], 0u);
}

// Flipping the parity bit of one key byte under flag 0 changes nothing.
class ParityBit : public ::testing::TestWithParam<int> {};

TEST_P(ParityBit, DoesNotChangeTheSchedule)
{
    std::mt19937_64 rng(100 + GetParam());
    for (int i = 0; i < 200; ++i) {
        Block key = random_block(rng);
        zat_des_loadkey(key.data(), 0);
        auto before = orbel_test::loaded_schedule();
        key[GetParam()] ^= 1;
        zat_des_loadkey(key.data(), 0);
        ASSERT_EQ(orbel_test::loaded_schedule(), before) << orbel_test::to_hex(key);
    }
}

INSTANTIATE_TEST_SUITE_P(KeyBytes, ParityBit, ::testing::Range(0, 8));

TEST(SevenBitConvention, EqualsParityConventionShiftedRight)
{
    std::mt19937_64 rng(7);
    zat_set_des_mode(1);
    for (int i = 0; i < 1000; ++i) {
        Block key = random_block(rng), shifted;
        for (int p = 0; p < 8; ++p)
            shifted[p] = key[p] >> 1;
        Block in = random_block(rng);
        zat_des_loadkey(key.data(), 0);
        auto parity_schedule = orbel_test::loaded_schedule();
        Block parity_out = orbel_test::run_des(in);
        zat_des_loadkey(shifted.data(), 1);
        ASSERT_EQ(orbel_test::loaded_schedule(), parity_schedule) << orbel_test::to_hex(key);
        ASSERT_EQ(orbel_test::run_des(in), parity_out) << orbel_test::to_hex(key);
    }
}

// Under the seven-bit convention a byte of 128 or more counts by its low
// seven bits, at every position and whatever the other bytes are.
struct HighByteCase {
    int position;
    unsigned char byte;
};

void PrintTo(const HighByteCase &c, std::ostream *os)
{
    *os << "byte " << c.position << " = 0x" << std::hex << int(c.byte);
}

class SevenBitHighByte : public ::testing::TestWithParam<HighByteCase> {};

TEST_P(SevenBitHighByte, CountsByItsLowSevenBits)
{
    const HighByteCase &c = GetParam();
    std::mt19937_64 rng(c.position * 256 + c.byte);
    for (int i = 0; i < 50; ++i) {
        Block key = random_block(rng);
        for (auto &b : key)
            b &= 0x7f;
        Block high = key;
        high[c.position] = c.byte;
        key[c.position] = c.byte & 0x7f;
        zat_des_loadkey(key.data(), 1);
        auto want = orbel_test::loaded_schedule();
        zat_des_loadkey(high.data(), 1);
        ASSERT_EQ(orbel_test::loaded_schedule(), want) << orbel_test::to_hex(high);
    }
}

INSTANTIATE_TEST_SUITE_P(Bytes, SevenBitHighByte,
                         ::testing::Values(HighByteCase{0, 0x80}, HighByteCase{0, 0xff},
                                           HighByteCase{3, 0xc5}, HighByteCase{7, 0x80},
                                           HighByteCase{7, 0xff}));

TEST(SevenBitConvention, AllHighBytesGiveTheKeyOfTheirLowBits)
{
    // Every byte 0xff: the seven-bit value 0x7f everywhere, i.e. the DES key
    // fefefefefefefefe.
    const Block high = orbel_test::from_hex("ffffffffffffffff");
    zat_des_loadkey(high.data(), 1);
    EXPECT_EQ(orbel_test::loaded_schedule(),
              orbel_test::reference_schedule(orbel_test::from_hex("fefefefefefefefe")));
}

// A key of parity bits only has all-zero subkeys, so it encrypts and decrypts
// alike: encrypting twice gives the block back.
class ParityOnlyKey : public ::testing::TestWithParam<const char *> {};

TEST_P(ParityOnlyKey, IsItsOwnInverse)
{
    const Block key = orbel_test::from_hex(GetParam());
    zat_des_loadkey(key.data(), 0);
    for (const auto &pair : orbel_test::loaded_schedule())
        ASSERT_EQ(pair[0] | pair[1], 0u);
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100; ++i) {
        Block in = random_block(rng);
        zat_set_des_mode(1);
        Block enc = orbel_test::run_des(in);
        zat_set_des_mode(0);
        Block dec = orbel_test::run_des(in);
        ASSERT_EQ(enc, dec) << orbel_test::to_hex(in);
        zat_set_des_mode(1);
        ASSERT_EQ(orbel_test::run_des(enc), in) << orbel_test::to_hex(in);
        ASSERT_EQ(enc, orbel_test::openssl_des(key, in, true)) << orbel_test::to_hex(in);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, ParityOnlyKey,
                         ::testing::Values("0101010101010101", "0100010001000100", "0000000000000000"));

// The block is transformed in place: the bytes around it stay as they were,
// also when it is not aligned.
TEST(Block, TouchesOnlyItsEightBytes)
{
    zat_des_loadkey(fips81_key.data(), 0);
    zat_set_des_mode(1);
    const Block plain = orbel_test::from_hex("4e6f772069732074");
    const Block cipher = orbel_test::from_hex("3fa40e8a984d4815");
    for (int offset = 0; offset < 8; ++offset) {
        unsigned char buf[24];
        for (int i = 0; i < 24; ++i)
            buf[i] = static_cast<unsigned char>(0xa5 ^ i);
        std::copy(plain.begin(), plain.end(), buf + 8 + offset - 4);
        zat_des(buf + 8 + offset - 4);
        for (int i = 0; i < 24; ++i) {
            int in_block = i - (8 + offset - 4);
            if (in_block >= 0 && in_block < 8)
                EXPECT_EQ(buf[i], cipher[in_block]) << "offset " << offset << " byte " << i;
            else
                EXPECT_EQ(buf[i], 0xa5 ^ i) << "offset " << offset << " byte " << i;
        }
    }
}

} // namespace
