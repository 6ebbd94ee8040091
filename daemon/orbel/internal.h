/*
 * Internals of the DES module shared between its translation units (and
 * read by its tests): the constant tables and the process-wide state.
 *
 * Half-word layout: a 32-bit half of the DES state keeps the bit that FIPS 46
 * numbers i (1 = leftmost, 32 = rightmost) at word bit i mod 32, so half bit
 * 32 is bit 0 and half bits 1..31 are bits 1..31.  The expansion E then puts
 * the six inputs of S1, S3, S5 and S7 into the fields that 0x3f3f3f3f keeps,
 * and after a rotation right by 4 those of S2, S4, S6 and S8; each field has
 * its S-box input b1 at its lowest bit.
 */
#ifndef ZAT_DAEMON_ORBEL_INTERNAL_H
#define ZAT_DAEMON_ORBEL_INTERNAL_H

#include <stdint.h>

namespace zat_orbel {

/* KEY.v[byte position][seven-bit value][round][word]: what that value of that
 * key byte contributes to the round's two schedule words. */
struct KeyTable {
    uint32_t v[8][128][16][2];
};

/* IP.v[half][byte position][byte value]: half 0 is R0, half 1 is L0.
 * IIP.v[word][pre-output byte][byte value]: word 1 is output bytes 0..3,
 * word 0 output bytes 4..7, byte q of the block at bits 8(q mod 4). */
struct PermTable {
    uint32_t v[2][8][256];
};

/* S_P.v[box][six-bit input]: S-box S(box+1) followed by P, half-word layout. */
struct SboxTable {
    uint32_t v[8][64];
};

extern const KeyTable KEY;
extern const PermTable IP;
extern const PermTable IIP;
extern const SboxTable S_P;

/* The schedule: pair r holds words 0 and 1 of round r + 1. */
extern uint32_t K_S[16][2];
/* Pair of the first round: 0 encrypting, 15 decrypting. */
extern int key_start;
/* +1 encrypting, -1 decrypting (also the step between pairs); 0 before the
 * first mode call, which the block function treats as +1. */
extern int des_mode;

} // namespace zat_orbel

#endif
