/*
 * The DES entry points: key loading, the direction switch and the block
 * function, all table lookups, ORs, XORs and one rotation per round.
 */
#include "daemon/orbel/orbel.h"
#include "daemon/orbel/internal.h"

#include <stddef.h>

namespace zat_orbel {

alignas(64) uint32_t K_S[16][2];
int key_start;
int des_mode;

namespace {

constexpr uint32_t FIELDS = 0x3f3f3f3f;

// f(x, K) for one round: the four fields that the mask keeps feed S1, S3, S5
// and S7; rotated right by 4, the same fields feed S2, S4, S6 and S8.  The
// mask and the bound of the schedule words keep every byte below 64, so each
// byte indexes its S-box row directly.
inline uint32_t round_f(uint32_t x, const uint32_t *w)
{
    const uint32_t t0 = (x & FIELDS) ^ w[0];
    const uint32_t t1 = ((x >> 4 | x << 28) & FIELDS) ^ w[1];
    const uint32_t u0 = t0 >> 16, u1 = t1 >> 16;
    // The eight entries have no bit in common, so OR and XOR combine them
    // alike; two chains of four joined by XOR keep the compiler from
    // chaining all eight lookups one after another, which shortens the
    // round's latency.
    const uint32_t odd = S_P.v[0][t0 & 0xff] | S_P.v[2][t0 >> 8 & 0xff] | S_P.v[4][u0 & 0xff] |
                         S_P.v[6][u0 >> 8];
    const uint32_t even = S_P.v[1][t1 & 0xff] | S_P.v[3][t1 >> 8 & 0xff] | S_P.v[5][u1 & 0xff] |
                          S_P.v[7][u1 >> 8];
    return odd ^ even;
}

} // namespace
} // namespace zat_orbel

using namespace zat_orbel;

extern "C" __attribute__((weak)) int zat_set_des_mode(int encrypt)
{
    if (encrypt) {
        key_start = 0;
        des_mode = 1;
    } else {
        key_start = 15;
        des_mode = -1;
    }
    return des_mode;
}

extern "C" __attribute__((weak)) void zat_des_loadkey(const unsigned char *key, int seven_bit)
{
    // Parity convention: the parity bit is bit 0 and drops out by the shift.
    // Seven-bit convention: the byte is the value; bit 7 is cut off.
    const unsigned shift = seven_bit ? 0 : 1;
    // The 32 schedule words are ORed four at a time, in registers.  A row of
    // KEY is 128 bytes and the table is aligned to 64, so the rows can be
    // read as 16-byte vectors (which alias their 32-bit elements).
    typedef uint32_t quad __attribute__((vector_size(16)));
    quad ks[8] = {};
#pragma GCC unroll 8
    for (int p = 0; p < 8; ++p) {
        const quad *e = reinterpret_cast<const quad *>(KEY.v[p][(key[p] >> shift) & 0x7f][0]);
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
            ks[i] |= e[i];
    }
    __builtin_memcpy(K_S, ks, sizeof K_S);
}

extern "C" __attribute__((weak)) void zat_des(unsigned char *block)
{
    uint32_t r = 0, l = 0;
#pragma GCC unroll 8
    for (int p = 0; p < 8; ++p) {
        r |= IP.v[0][p][block[p]];
        l |= IP.v[1][p][block[p]];
    }

    // Before the first mode call des_mode is 0 and key_start 0: encrypt.
    const int step = 2 * (des_mode + (des_mode == 0)); // words per pair step: 2 or -2
    const ptrdiff_t s = step;
    const uint32_t *k = K_S[key_start];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        if (i)
            k += 2 * s;
        l ^= round_f(r, k);
        r ^= round_f(l, k + s);
    }

    // Pre-output bytes c0..c3 from L, c4..c7 from R (no final exchange: the
    // table accounts for the order R16 L16).
    uint32_t out0 = 0, out1 = 0;
#pragma GCC unroll 4
    for (int p = 0; p < 4; ++p) {
        const size_t cl = l >> (8 * p) & 0xff, cr = r >> (8 * p) & 0xff;
        out0 |= IIP.v[1][p][cl] | IIP.v[1][p + 4][cr];
        out1 |= IIP.v[0][p][cl] | IIP.v[0][p + 4][cr];
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    __builtin_memcpy(block, &out0, 4);
    __builtin_memcpy(block + 4, &out1, 4);
#else
    for (int q = 0; q < 4; ++q) {
        block[q] = uint8_t(out0 >> (8 * q));
        block[4 + q] = uint8_t(out1 >> (8 * q));
    }
#endif
}
