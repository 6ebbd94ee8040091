// md5_xor(): the stand-in host obfuscates as a daemon would, with the
// obfuscation archive and its fail-closed policy.
#include "daemon/host/host.h"
#include "daemon/obfuscation/obfuscation.h"

extern "C" int md5_xor(unsigned char *packet, unsigned char *body, const char *key)
{
    return zat_md5_xor(packet, body, key);
}
