#!/bin/sh
# Installs the project into a fresh prefix, builds the example daemon with cc
# from the installed headers, archives and pkg-config files only, and drives it.
# Usage: install_check.sh BUILD_DIR SOURCE_ROOT CC "EXTRA_FLAGS" DRIVER
set -eu
build=$1 root=$2 cc=$3 flags=$4 driver=$5
prefix=$(mktemp -d /tmp/zat-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/zat_pwd share/man/man1/zat_pwd.1 include/daemon/host/host.h include/daemon/packet/packet.h \
         include/daemon/packet/request.h \
         include/daemon/velor/velor.h include/daemon/orbel/orbel.h include/daemon/obfuscation/obfuscation.h; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name zat-packet.pc)")
export PKG_CONFIG_PATH="$libdir"
# The example is copied away from the source tree, so only installed headers can serve it.
cp "$root/examples/skeleton_daemon.c" "$prefix/"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror $flags "$prefix/skeleton_daemon.c" \
    $(pkg-config --cflags --libs zat-packet zat-velor zat-obfuscation) -o "$prefix/skeleton_daemon"
# The request decoders' header is plain C on its own.
printf '#include <daemon/packet/request.h>\nint decode(const unsigned char *p){struct zat_acct_request r;return zat_decode_acct_request(p,&r);}\n' >"$prefix/request.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic $flags -c "$prefix/request.c" $(pkg-config --cflags zat-packet) -o "$prefix/request.o"
# orbel builds on its own too.
printf '#include <daemon/orbel/orbel.h>\nint main(void){unsigned char k[8]={0},b[8]={0};zat_set_des_mode(1);zat_des_loadkey(k,0);zat_des(b);return b[0]!=0x8c;}\n' >"$prefix/des.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Werror $flags "$prefix/des.c" $(pkg-config --cflags --libs zat-orbel) -o "$prefix/des"
# So does the obfuscation archive, with libmd through its pkg-config file: a
# daemon's md5_xor sends the reply of the worked vector.
cat >"$prefix/obf.c" <<'EOF'
#include <string.h>
#include <daemon/obfuscation/obfuscation.h>
void report(int priority, const char *format, ...) { (void)priority; (void)format; }
int md5_xor(unsigned char *packet, unsigned char *body, const char *key) { return zat_md5_xor(packet, body, key); }
int main(void)
{
    unsigned char p[19] = {0xc0, 0x03, 0x02, 0x01, 0x2a, 0x2b, 0x2c, 0x2d, 0, 0, 0, 7, 0x00, 0x02, 0x00, 0x00, 0x01, 'o', 'k'};
    const unsigned char wire[19] = {0xc0, 0x03, 0x02, 0x00, 0x2a, 0x2b, 0x2c, 0x2d, 0, 0, 0, 7,
                                    0xca, 0xb3, 0x2d, 0x39, 0x14, 0x5a, 0x6f};
    return md5_xor(p, p + 12, "tacacs-test-key") != 0 || memcmp(p, wire, sizeof wire) != 0;
}
EOF
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror $flags "$prefix/obf.c" $(pkg-config --cflags --libs zat-obfuscation) -o "$prefix/obf"
"$prefix/obf"
"$prefix/des"
ZAT_SKELETON="$prefix/skeleton_daemon" "$driver"
