/*
 * The DES tables, computed by the compiler from the FIPS 46 definitions and
 * placed in read-only data: nothing is initialised at run time.
 *
 * Numbering as in FIPS 46: bits of blocks and keys are 1..64, bit 1 being the
 * most significant bit of byte 0; bit b of a byte or index counts from b = 0,
 * the least significant.
 */
#include "daemon/orbel/internal.h"

namespace zat_orbel {
namespace {

// ---- FIPS 46 definitions -------------------------------------------------

// Initial permutation: output bit k is input bit INITIAL[k - 1].
constexpr int INITIAL[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6,  64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

// Final permutation, the inverse of the initial one.
constexpr int FINAL[64] = {
    40, 8, 48, 16, 56, 24, 64, 32,  39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30,  37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28,  35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26,  33, 1, 41, 9,  49, 17, 57, 25,
};

// Expansion: E bit j (1..48) is half bit EXPAND[j - 1].
constexpr int EXPAND[48] = {
    32, 1,  2,  3,  4,  5,   4,  5,  6,  7,  8,  9,
    8,  9,  10, 11, 12, 13,  12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21,  20, 21, 22, 23, 24, 25,
    24, 25, 26, 27, 28, 29,  28, 29, 30, 31, 32, 1,
};

// S-boxes: SBOX[box][row][column], row b1b6, column b2b3b4b5.
constexpr int SBOX[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// Permutation P: output bit i is input bit PERMUTE[i - 1].
constexpr int PERMUTE[32] = {
    16, 7,  20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8,  24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

// Permuted choice 1: bit c of C0D0 (1..56) is key bit CHOICE1[c - 1].
constexpr int CHOICE1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

// Permuted choice 2: subkey bit j (1..48) is bit CHOICE2[j - 1] of CnDn.
constexpr int CHOICE2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

// Left rotations of C and D before each round.
constexpr int SHIFTS[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// ---- Consistency of the definitions ----------------------------------------

constexpr bool final_inverts_initial()
{
    for (int k = 1; k <= 64; ++k)
        if (FINAL[INITIAL[k - 1] - 1] != k)
            return false;
    return true;
}
static_assert(final_inverts_initial());

// The expansion's six inputs of S-box s sit, in the half-word layout, in
// field s / 2 of the word (rotated right by 4 for even-numbered boxes),
// first input at the field's lowest bit.  The round function relies on it.
constexpr bool expansion_matches_layout()
{
    for (int s = 0; s < 8; ++s)
        for (int m = 0; m < 6; ++m) {
            int bit = EXPAND[6 * s + m] % 32;
            if (s % 2)
                bit = (bit + 28) % 32;
            if (bit != 8 * (s / 2) + m)
                return false;
        }
    return true;
}
static_assert(expansion_matches_layout());

// Every row of every S-box is a permutation of 0..15.
constexpr bool sbox_rows_are_permutations()
{
    for (int j = 0; j < 8; ++j)
        for (int row = 0; row < 4; ++row) {
            int seen = 0;
            for (int col = 0; col < 16; ++col)
                seen |= 1 << SBOX[j][row][col];
            if (seen != 0xffff)
                return false;
        }
    return true;
}
static_assert(sbox_rows_are_permutations());

// ---- Generators ------------------------------------------------------------

// Where a position lands under a 1-based permutation table, 0 if nowhere.
template <int N>
constexpr int position_of(const int (&table)[N], int bit)
{
    for (int i = 0; i < N; ++i)
        if (table[i] == bit)
            return i + 1;
    return 0;
}

constexpr PermTable make_ip()
{
    PermTable t{};
    for (int p = 0; p < 8; ++p)
        for (int v = 0; v < 256; ++v)
            for (int b = 0; b < 8; ++b) {
                if (!(v >> b & 1))
                    continue;
                int k = position_of(INITIAL, 8 * p + 8 - b);
                if (k <= 32)
                    t.v[1][p][v] |= uint32_t{1} << (k % 32);
                else
                    t.v[0][p][v] |= uint32_t{1} << ((k - 32) % 32);
            }
    return t;
}

constexpr PermTable make_iip()
{
    PermTable t{};
    for (int p = 0; p < 8; ++p)
        for (int v = 0; v < 256; ++v)
            for (int b = 0; b < 8; ++b) {
                if (!(v >> b & 1))
                    continue;
                int u = 8 * (p % 4) + b;
                int i = u ? u : 32;
                // Pre-output block R16 L16: L (p < 4) is its second half.
                int pre = p < 4 ? 32 + i : i;
                int n = position_of(FINAL, pre);
                int q = (n - 1) / 8;
                int bit = 7 - (n - 1) % 8;
                if (q < 4)
                    t.v[1][p][v] |= uint32_t{1} << (8 * q + bit);
                else
                    t.v[0][p][v] |= uint32_t{1} << (8 * (q - 4) + bit);
            }
    return t;
}

constexpr SboxTable make_s_p()
{
    SboxTable t{};
    for (int j = 0; j < 8; ++j)
        for (int x = 0; x < 64; ++x) {
            int row = (x & 1) << 1 | (x >> 5 & 1);
            int col = (x >> 1 & 1) << 3 | (x >> 2 & 1) << 2 | (x >> 3 & 1) << 1 | (x >> 4 & 1);
            int out = SBOX[j][row][col];
            for (int o = 0; o < 4; ++o) {
                if (!(out >> (3 - o) & 1))
                    continue;
                int i = position_of(PERMUTE, 4 * j + 1 + o);
                t.v[j][x] |= uint32_t{1} << (i % 32);
            }
        }
    return t;
}

// The schedule bits that key bit n sets in round r: bit 8(s / 2) + m of
// word s % 2 for subkey bit j = 6s + m + 1.
constexpr void key_bit_words(int n, int r, uint32_t out[2])
{
    out[0] = out[1] = 0;
    int c = position_of(CHOICE1, n);
    if (!c)
        return;
    int shift = 0;
    for (int i = 0; i <= r; ++i)
        shift += SHIFTS[i];
    // C and D rotate left separately within their 28 bits.
    int half = c <= 28 ? 0 : 28;
    int moved = half + (c - 1 - half - shift % 28 + 28) % 28 + 1;
    int j = position_of(CHOICE2, moved);
    if (!j)
        return;
    int s = (j - 1) / 6, m = (j - 1) % 6;
    out[s % 2] = uint32_t{1} << (8 * (s / 2) + m);
}

constexpr KeyTable make_key()
{
    // Single-bit entries first, then every value as the OR of its bits.
    uint32_t bits[8][7][16][2] = {};
    for (int p = 0; p < 8; ++p)
        for (int b = 0; b < 7; ++b)
            for (int r = 0; r < 16; ++r)
                key_bit_words(8 * p + 7 - b, r, bits[p][b][r]);
    KeyTable t{};
    for (int p = 0; p < 8; ++p)
        for (int v = 1; v < 128; ++v)
            for (int b = 0; b < 7; ++b)
                if (v >> b & 1)
                    for (int r = 0; r < 16; ++r) {
                        t.v[p][v][r][0] |= bits[p][b][r][0];
                        t.v[p][v][r][1] |= bits[p][b][r][1];
                    }
    return t;
}

// ---- Checks on the tables --------------------------------------------------

// Entry 0 is 0 and every entry is the OR of the entries of its set bits.
constexpr bool perm_is_linear(const PermTable &t)
{
    for (int h = 0; h < 2; ++h)
        for (int p = 0; p < 8; ++p) {
            if (t.v[h][p][0])
                return false;
            for (int v = 1; v < 256; ++v) {
                uint32_t e = 0;
                for (int b = 0; b < 8; ++b)
                    if (v >> b & 1)
                        e |= t.v[h][p][1 << b];
                if (e != t.v[h][p][v])
                    return false;
            }
        }
    return true;
}

// Each of the 64 block bits lands on exactly one bit of the two words.
constexpr bool perm_is_bijection(const PermTable &t)
{
    uint32_t seen[2] = {0, 0};
    for (int p = 0; p < 8; ++p)
        for (int b = 0; b < 8; ++b) {
            uint32_t w0 = t.v[0][p][1 << b], w1 = t.v[1][p][1 << b];
            if (__builtin_popcount(w0) + __builtin_popcount(w1) != 1)
                return false;
            if ((seen[0] & w0) || (seen[1] & w1))
                return false;
            seen[0] |= w0;
            seen[1] |= w1;
        }
    return seen[0] == 0xffffffffu && seen[1] == 0xffffffffu;
}

constexpr bool key_is_linear_and_bounded(const KeyTable &t)
{
    for (int p = 0; p < 8; ++p)
        for (int r = 0; r < 16; ++r)
            for (int w = 0; w < 2; ++w) {
                if (t.v[p][0][r][w])
                    return false;
                for (int v = 1; v < 128; ++v) {
                    uint32_t e = 0;
                    for (int b = 0; b < 7; ++b)
                        if (v >> b & 1)
                            e |= t.v[p][1 << b][r][w];
                    if (e != t.v[p][v][r][w] || (e & ~uint32_t{0x3f3f3f3f}))
                        return false;
                }
            }
    return true;
}

// Every round draws 48 distinct key bits, each to one schedule bit.
constexpr bool key_rounds_complete(const KeyTable &t)
{
    for (int r = 0; r < 16; ++r) {
        uint32_t seen[2] = {0, 0};
        for (int p = 0; p < 8; ++p)
            for (int b = 0; b < 7; ++b)
                for (int w = 0; w < 2; ++w) {
                    uint32_t e = t.v[p][1 << b][r][w];
                    if (seen[w] & e)
                        return false;
                    seen[w] |= e;
                }
        if (seen[0] != 0x3f3f3f3fu || seen[1] != 0x3f3f3f3fu)
            return false;
    }
    return true;
}

// The boxes' entries occupy disjoint bits (P is a permutation), so the round
// function may join them with OR or XOR alike.
constexpr bool sbox_outputs_disjoint(const SboxTable &t)
{
    uint32_t seen = 0;
    for (int j = 0; j < 8; ++j) {
        uint32_t box = 0;
        for (int x = 0; x < 64; ++x)
            box |= t.v[j][x];
        if (seen & box || __builtin_popcount(box) != 4)
            return false;
        seen |= box;
    }
    return seen == 0xffffffffu;
}

} // namespace

alignas(64) constexpr KeyTable KEY = make_key();
alignas(64) constexpr PermTable IP = make_ip();
alignas(64) constexpr PermTable IIP = make_iip();
alignas(64) constexpr SboxTable S_P = make_s_p();

static_assert(IP.v[0][7][0x80] == 0x00000002); // block bit 57 is R0 bit 1
static_assert(IP.v[0][0][0x02] == 0x00000001); // block bit 7 is R0 bit 32
static_assert(IP.v[1][0][0x01] == 0x00000001); // block bit 8 is L0 bit 32
static_assert(S_P.v[0][0] == 0x00820200);      // S1 gives 14: half bits 9, 17, 23
static_assert(S_P.v[7][63] == 0x00208020);
static_assert(IIP.v[1][0][0x01] == 0x00000002);
static_assert(IIP.v[0][7][0x10] == 0x00000001);
// Key bit 1: bit 9 of word 1 in round 1, bit 11 of word 0 in round 3,
// nothing in rounds 8 and 15.
static_assert(KEY.v[0][0x40][0][1] == uint32_t{1} << 9 && KEY.v[0][0x40][0][0] == 0);
static_assert(KEY.v[0][0x40][2][0] == uint32_t{1} << 11 && KEY.v[0][0x40][2][1] == 0);
static_assert(!KEY.v[0][0x40][7][0] && !KEY.v[0][0x40][7][1]);
static_assert(!KEY.v[0][0x40][14][0] && !KEY.v[0][0x40][14][1]);

// S_P is an S-box, not a permutation of bits: it has no linearity to check.
static_assert(perm_is_linear(IP) && perm_is_bijection(IP));
static_assert(perm_is_linear(IIP) && perm_is_bijection(IIP));
static_assert(key_is_linear_and_bounded(KEY));
static_assert(key_rounds_complete(KEY));
static_assert(sbox_outputs_disjoint(S_P));

} // namespace zat_orbel
