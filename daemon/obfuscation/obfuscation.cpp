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

// Every pad block hashes the same fixed part (session id, key, version,
// sequence number) before the block it chains on, so that part is hashed
// once and its MD5 state copied for each block: MD5 is a running state over
// its input, so the copy goes on exactly as a fresh hash of the whole input
// would.  The copies hold key material and are wiped at the end.
extern "C" void zat_obfuscate_body(const unsigned char *header, unsigned char *body, const char *key)
{
    if (!header || !body || !key || !*key)
        return;
    const uint32_t length = (uint32_t(header[8]) << 24) | (uint32_t(header[9]) << 16) |
                            (uint32_t(header[10]) << 8) | uint32_t(header[11]);
    if (length == 0)
        return;
    MD5_CTX fixed;
    MD5Init(&fixed);
    MD5Update(&fixed, header + 4, 4);  // session id, wire order
    MD5Update(&fixed, reinterpret_cast<const unsigned char *>(key), strlen(key));
    MD5Update(&fixed, header + 0, 1);  // version
    MD5Update(&fixed, header + 2, 1);  // sequence number
    MD5_CTX ctx = fixed;
    unsigned char pad[MD5_DIGEST_LENGTH];
    MD5Final(pad, &ctx);
    for (uint32_t done = 0;;) {
        const uint32_t n = length - done < MD5_DIGEST_LENGTH ? length - done : MD5_DIGEST_LENGTH;
        for (uint32_t i = 0; i < n; i++)
            body[done + i] ^= pad[i];
        done += n;
        if (done == length)
            break;
        ctx = fixed;
        MD5Update(&ctx, pad, MD5_DIGEST_LENGTH);  // the block before
        MD5Final(pad, &ctx);
    }
    explicit_bzero(&fixed, sizeof fixed);
    explicit_bzero(&ctx, sizeof ctx);
    explicit_bzero(pad, sizeof pad);
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
