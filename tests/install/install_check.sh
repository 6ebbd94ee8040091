#!/bin/sh
# Follows the README's link recipe for a custom prefix: its lines are taken
# from README.md (the indented block that starts with the install command)
# and run with PREFIX, the build directory and the compiler filled in, and
# with the example daemon as mydaemon.c.  The daemon is so built from the
# installed headers, archives and pkg-config files alone, then driven as a
# NAS would.
# Usage: install_check.sh BUILD_DIR SOURCE_ROOT CC "EXTRA_FLAGS" DRIVER LIBDIR
set -eu
build=$(cd "$1" && pwd) root=$2 cc=$3 flags=$4 driver=$5 libdir=$6
prefix=$(mktemp -d /tmp/zat-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT

recipe=$(awk '/^    cmake --install build --prefix PREFIX$/ {on = 1}
              on && !/^    / {exit}
              on {sub(/^    /, ""); sub(/[[:space:]]+#.*$/, ""); print}' "$root/README.md")
echo "$recipe" | grep -q 'PKG_CONFIG_PATH=PREFIX/lib/pkgconfig' ||
    { echo "README.md: no link recipe with PKG_CONFIG_PATH=PREFIX/lib/pkgconfig after 'cmake --install build --prefix PREFIX'" >&2; exit 1; }
echo "$recipe" | grep -q '^cc .*mydaemon' ||
    { echo "README.md: the link recipe builds no mydaemon with cc" >&2; exit 1; }
# PREFIX and the build directory are placeholders; lib is CMAKE_INSTALL_LIBDIR
# of a build for any prefix but /usr.  The compiler gets the warning and
# sanitizer flags of this build.
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
script=$(echo "$recipe" | sed -e "s|PREFIX/lib/|PREFIX/$libdir/|g" \
                              -e "s|PREFIX|$prefix|g" \
                              -e "s|^cmake --install build |cmake --install $(quote "$build") |" \
                              -e "s|^cc |$(quote "$cc") -std=c11 -Wall -Wextra $flags |")
mkdir "$prefix/work"
cp "$root/examples/skeleton_daemon.c" "$prefix/work/mydaemon.c"
echo "$script"
(cd "$prefix/work" && sh -eu -c "$script") >"$prefix/recipe.log" 2>&1 ||
    { cat "$prefix/recipe.log" >&2; echo "the README's link recipe failed" >&2; exit 1; }

for f in bin/zat_pwd share/man/man1/zat_pwd.1 include/daemon/host/host.h include/daemon/packet/packet.h \
         include/daemon/packet/request.h \
         include/daemon/velor/velor.h include/daemon/orbel/orbel.h include/daemon/obfuscation/obfuscation.h; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
[ -x "$prefix/work/mydaemon" ] || { echo "the README's link recipe made no mydaemon" >&2; exit 1; }

export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# The request decoders' header is plain C on its own.
printf '#include <daemon/packet/request.h>\nint decode(const unsigned char *p){struct zat_acct_request r;return zat_decode_acct_request(p,&r);}\n' >"$prefix/request.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -pedantic $flags -c "$prefix/request.c" $(pkg-config --cflags zat-packet) -o "$prefix/request.o"
# orbel builds on its own too.
printf '#include <daemon/orbel/orbel.h>\nint main(void){unsigned char k[8]={0},b[8]={0};zat_set_des_mode(1);zat_des_loadkey(k,0);zat_des(b);return b[0]!=0x8c;}\n' >"$prefix/des.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall $flags "$prefix/des.c" $(pkg-config --cflags --libs zat-orbel) -o "$prefix/des"
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
"$cc" -std=c11 -Wall -Wextra $flags "$prefix/obf.c" $(pkg-config --cflags --libs zat-obfuscation) -o "$prefix/obf"
"$prefix/obf"
"$prefix/des"
ZAT_SKELETON="$prefix/work/mydaemon" "$driver"
