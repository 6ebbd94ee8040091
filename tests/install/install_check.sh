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
         include/daemon/velor/velor.h include/daemon/orbel/orbel.h; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name zat-packet.pc)")
export PKG_CONFIG_PATH="$libdir"
# The example is copied away from the source tree, so only installed headers can serve it.
cp "$root/examples/skeleton_daemon.c" "$prefix/"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror $flags "$prefix/skeleton_daemon.c" \
    $(pkg-config --cflags --libs zat-packet zat-velor) -o "$prefix/skeleton_daemon"
# The request decoders' header is plain C on its own.
printf '#include <daemon/packet/request.h>\nint decode(const unsigned char *p){struct zat_acct_request r;return zat_decode_acct_request(p,&r);}\n' >"$prefix/request.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic $flags -c "$prefix/request.c" $(pkg-config --cflags zat-packet) -o "$prefix/request.o"
# orbel builds on its own too.
printf '#include <daemon/orbel/orbel.h>\nint main(void){unsigned char k[8]={0},b[8]={0};zat_set_des_mode(1);zat_des_loadkey(k,0);zat_des(b);return b[0]!=0x8c;}\n' >"$prefix/des.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Werror $flags "$prefix/des.c" $(pkg-config --cflags --libs zat-orbel) -o "$prefix/des"
"$prefix/des"
ZAT_SKELETON="$prefix/skeleton_daemon" "$driver"
