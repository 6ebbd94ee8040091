// The mapping of random values onto salt characters, over every value that
// it can be given.

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

#include "tests/zat_pwd/process.h"
#include "tools/zat_pwd/salt.h"

namespace pwd_test {
namespace {

// How many of the 128 values of the low 7 bits give each character.
std::map<char, int> expected_frequencies()
{
    std::map<char, int> f;
    auto set = [&](char from, char to, int n) {
        for (char c = from; c <= to; c++)
            f[c] = n;
    };
    set('A', 'G', 4);
    set('a', 'a', 3);
    set('.', '/', 2);
    set('0', '9', 2);
    set('H', 'Z', 2);
    set('b', 'f', 2);
    set('v', 'z', 2);
    set('g', 'u', 1);
    return f;
}

TEST(SaltChar, FrequenciesOverAllValues)
{
    std::map<char, int> seen;
    for (long v = 0; v < 128; v++) {
        char c = salt_char(v);
        EXPECT_NE(SALT_SET.find(c), std::string::npos) << "v = " << v;
        seen[c]++;
    }
    EXPECT_EQ(seen, expected_frequencies());
    EXPECT_EQ(seen.size(), SALT_SET.size());
}

TEST(SaltChar, OnlyTheLowSevenBitsCount)
{
    for (long v = 0; v < 128; v++) {
        for (long high : {0x80L, 0x1234500L, 0x7fffff80L})
            EXPECT_EQ(salt_char(v | high), salt_char(v)) << v << " " << high;
    }
}

struct Example {
    long v;
    char c;
};

void PrintTo(const Example &e, std::ostream *os) { *os << e.v << " -> " << e.c; }

class SaltCharExample : public ::testing::TestWithParam<Example> {};

TEST_P(SaltCharExample, Maps)
{
    EXPECT_EQ(salt_char(GetParam().v), GetParam().c);
}

INSTANTIATE_TEST_SUITE_P(Pwd, SaltCharExample,
                         ::testing::Values(Example{0, '.'}, Example{12, 'A'},
                                           Example{45, 'a'}, Example{46, '.'},
                                           Example{57, '9'}, Example{58, 'A'},
                                           Example{64, 'G'}, Example{90, 'Z'},
                                           Example{91, 'a'}, Example{96, 'f'},
                                           Example{110, 'n'}, Example{122, 'z'},
                                           Example{123, 'v'}, Example{127, 'z'}),
                         [](const auto &info) { return std::string("v").append(std::to_string(info.param.v)); });

} // namespace
} // namespace pwd_test
