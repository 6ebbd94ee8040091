// RFC 8907 body obfuscation with libmd's MD5, and the fail-closed policy of a
// daemon's md5_xor() around it.
#include "daemon/obfuscation/obfuscation.h"

#include <md5.h>
#include <stdint.h>
#include <string.h>

#include "daemon/host/host.h"

namespace {

constexpr unsigned char unencrypted_flag = 0x01;

} // namespace

extern "C" void zat_obfuscate_body(const unsigned char *header, unsigned char *body, const char *key)
{
    if (!key || !*key)
        return;
    const uint32_t length = (uint32_t(header[8]) << 24) | (uint32_t(header[9]) << 16) |
                            (uint32_t(header[10]) << 8) | uint32_t(header[11]);
    const size_t key_len = strlen(key);
    unsigned char pad[MD5_DIGEST_LENGTH];
    for (uint32_t done = 0; done < length; done += MD5_DIGEST_LENGTH) {
        MD5_CTX ctx;
        MD5Init(&ctx);
        MD5Update(&ctx, header + 4, 4);                       // session id, wire order
        MD5Update(&ctx, reinterpret_cast<const unsigned char *>(key), key_len);
        MD5Update(&ctx, header + 0, 1);                       // version
        MD5Update(&ctx, header + 2, 1);                       // sequence number
        if (done)
            MD5Update(&ctx, pad, MD5_DIGEST_LENGTH);          // previous pad block
        MD5Final(pad, &ctx);
        const uint32_t n = length - done < MD5_DIGEST_LENGTH ? length - done : MD5_DIGEST_LENGTH;
        for (uint32_t i = 0; i < n; i++)
            body[done + i] ^= pad[i];
    }
}

// Requests come from the NAS with odd sequence numbers, replies go out with
// even ones (RFC 8907 section 4.1): that tells the two directions apart.
extern "C" int zat_md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    if (!packet || !body) {
        report(3, "zat_md5_xor: no packet");
        return -1;
    }
    const bool keyed = key && *key;
    const bool plain = (packet[3] & unencrypted_flag) != 0;
    if (packet[2] & 1) {
        // A NAS and this daemon that disagree about the key must not talk:
        // neither a plain request to a keyed daemon nor an obfuscated one
        // that cannot be read is accepted.
        if (plain && keyed) {
            report(3, "zat_md5_xor: unencrypted request refused, a key is configured");
            return -1;
        }
        if (!plain && !keyed) {
            report(3, "zat_md5_xor: obfuscated request refused, no key is configured");
            return -1;
        }
        zat_obfuscate_body(packet, body, key);
        return 0;
    }
    if (keyed) {
        zat_obfuscate_body(packet, body, key);
        packet[3] &= static_cast<unsigned char>(~unencrypted_flag);
    } else {
        packet[3] |= unencrypted_flag;
    }
    return 0;
}
