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
         include/daemon/velor/velor.h include/daemon/orbel/orbel.h; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
[ -x "$prefix/work/mydaemon" ] || { echo "the README's link recipe made no mydaemon" >&2; exit 1; }

# orbel builds on its own too.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
printf '#include <daemon/orbel/orbel.h>\nint main(void){unsigned char k[8]={0},b[8]={0};zat_set_des_mode(1);zat_des_loadkey(k,0);zat_des(b);return b[0]!=0x8c;}\n' >"$prefix/des.c"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall $flags "$prefix/des.c" $(pkg-config --cflags --libs zat-orbel) -o "$prefix/des"
"$prefix/des"
ZAT_SKELETON="$prefix/work/mydaemon" "$driver"
