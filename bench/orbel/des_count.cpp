// Runs one DES operation a given number of times, for counting instructions
// under callgrind (see callgrind-count): des_count OPERATION COUNT.
#include <nettle/des.h>
#include <openssl/des.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/orbel/orbel.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: des_count zat_des|DES_ecb_encrypt|nettle_des_encrypt|"
                             "zat_des_loadkey|DES_set_key_unchecked|nettle_des_set_key COUNT\n");
        return 2;
    }
    const char *op = argv[1];
    const long n = std::atol(argv[2]);
    unsigned char key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    unsigned char block[8] = {0x4e, 0x6f, 0x77, 0x20, 0x69, 0x73, 0x20, 0x74};
    DES_key_schedule ks;
    DES_set_key_unchecked(reinterpret_cast<DES_cblock *>(key), &ks);
    des_ctx ctx;
    des_set_key(&ctx, key);
    zat_des_loadkey(key, 0);
    zat_set_des_mode(1);

    unsigned sum = 0;
    if (!std::strcmp(op, "zat_des")) {
        for (long i = 0; i < n; ++i)
            zat_des(block);
    } else if (!std::strcmp(op, "DES_ecb_encrypt")) {
        for (long i = 0; i < n; ++i)
            DES_ecb_encrypt(reinterpret_cast<DES_cblock *>(block), reinterpret_cast<DES_cblock *>(block),
                            &ks, DES_ENCRYPT);
    } else if (!std::strcmp(op, "nettle_des_encrypt")) {
        for (long i = 0; i < n; ++i)
            des_encrypt(&ctx, 8, block, block);
    } else if (!std::strcmp(op, "zat_des_loadkey")) {
        for (long i = 0; i < n; ++i) {
            zat_des_loadkey(key, 0);
            key[i & 7] += 2;
        }
    } else if (!std::strcmp(op, "DES_set_key_unchecked")) {
        for (long i = 0; i < n; ++i) {
            DES_set_key_unchecked(reinterpret_cast<DES_cblock *>(key), &ks);
            key[i & 7] += 2;
        }
    } else if (!std::strcmp(op, "nettle_des_set_key")) {
        for (long i = 0; i < n; ++i) {
            sum += des_set_key(&ctx, key);
            key[i & 7] += 2;
        }
    } else {
        std::fprintf(stderr, "des_count: unknown operation %s\n", op);
        return 2;
    }
    // Keep the results observable.
    std::printf("%02x%02x %08x %u\n", block[0], block[7], ks.ks[0].deslong[0] ^ ctx.key[0], sum);
    return 0;
}
