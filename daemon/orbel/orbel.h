/*
 * The DES module: single 8-byte blocks enciphered or deciphered in place under
 * one process-wide key schedule and one process-wide direction, through
 * precomputed tables (no bit-by-bit work at run time).
 *
 * Blocks and keys are in FIPS 46 byte order: byte 0 holds bits 1 to 8, its
 * most significant bit being bit 1.
 *
 * Not thread-safe: a key load or a mode change must not overlap any other
 * call into the module.  Block calls under a fixed key and mode only read the
 * shared state.
 */
#ifndef ZAT_DAEMON_ORBEL_H
#define ZAT_DAEMON_ORBEL_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Selects the direction of zat_des: nonzero encrypts and returns 1, zero
 * decrypts and returns -1.  The key schedule is left as it is.  Until the
 * first call, zat_des encrypts.
 */
int zat_set_des_mode(int encrypt);

/*
 * Builds the key schedule from the 8 bytes at key (only read).
 * seven_bit 0: each byte is a DES key byte with its parity bit in bit 0,
 * which is ignored.  seven_bit nonzero: each byte holds the seven key bits
 * right-aligned (the DES key byte shifted right by one); a byte of 128 or
 * more counts by its low seven bits.  Parity is never checked, weak keys are
 * accepted.  The direction is left as it is.  Before the first call the
 * schedule is that of the all-zero key.
 */
void zat_des_loadkey(const unsigned char *key, int seven_bit);

/* Replaces the 8 bytes at block by their encryption or decryption. */
void zat_des(unsigned char *block);

#ifdef __cplusplus
}
#endif

#endif
