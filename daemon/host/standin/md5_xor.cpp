// md5_xor(): the stand-in host's obfuscation policy around the RFC 8907 pad.
//
// It fails closed.  Requests come from the NAS with odd sequence numbers,
// replies go out with even ones (RFC 8907 section 4.1), which tells the two
// directions apart:
// - a request marked unencrypted (flag 0x01) is refused when a key is known
//   for the NAS, and an obfuscated one is refused when no key is known;
// - a reply arrives here with 0x01 set; with a key it is obfuscated and the
//   flag cleared, without one it goes out plain.
#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"

namespace {

constexpr unsigned char unencrypted_flag = 0x01;

} // namespace

extern "C" int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    bool request = (packet[2] & 1) != 0;
    bool plain = (packet[3] & unencrypted_flag) != 0;
    if (request) {
        if (plain && key) {
            report(3, "md5_xor: unencrypted packet refused, a key is configured");
            return -1;
        }
        if (!plain && !key) {
            report(3, "md5_xor: encrypted packet and no key configured");
            return -1;
        }
        standin_obfuscate(packet, body, key);
        return 0;
    }
    if (key) {
        standin_obfuscate(packet, body, key);
        packet[3] &= static_cast<unsigned char>(~unencrypted_flag);
    }
    return 0;
}
