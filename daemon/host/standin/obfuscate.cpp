// RFC 8907 section 4.5 body obfuscation with libmd's MD5.
//
//   MD5_1 = MD5(session_id, key, version, seq_no)
//   MD5_n = MD5(session_id, key, version, seq_no, MD5_n-1)
//
// The pad MD5_1 MD5_2 ... cut to the body length is XORed over the body, so
// the same call obfuscates and de-obfuscates.
#include <md5.h>
#include <stdint.h>
#include <string.h>

#include "daemon/host/standin/standin.h"

extern "C" void standin_obfuscate(unsigned char *packet, unsigned char *body, const char *key)
{
    if (!key)
        return;
    uint32_t length = (uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) |
                      (uint32_t(packet[10]) << 8) | uint32_t(packet[11]);
    size_t key_len = strlen(key);
    unsigned char pad[MD5_DIGEST_LENGTH];
    for (uint32_t done = 0; done < length; done += MD5_DIGEST_LENGTH) {
        MD5_CTX ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, packet + 4, 4);                       // session id, wire order
        MD5Update(&ctx, reinterpret_cast<const unsigned char *>(key), key_len);
        MD5Update(&ctx, packet + 0, 1);                       // version
        MD5Update(&ctx, packet + 2, 1);                       // sequence number
        if (done)
            MD5Update(&ctx, pad, MD5_DIGEST_LENGTH);          // previous pad block
        MD5Final(pad, &ctx);
        uint32_t n = length - done < MD5_DIGEST_LENGTH ? length - done : MD5_DIGEST_LENGTH;
        for (uint32_t i = 0; i < n; i++)
            body[done + i] ^= pad[i];
    }
}
