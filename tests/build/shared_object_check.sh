#!/bin/sh
# Links a module archive whole into a shared object, as a distribution or a
# daemon with loadable parts would.  Code built without -fPIC fails the link
# (a relocation that a shared object cannot carry) or leaves text
# relocations; both fail here.  Every global symbol that the archive defines
# must then be exported by the shared object.
# Usage: shared_object_check.sh CC "EXTRA_FLAGS" WORKDIR ARCHIVE
set -eu
cc=$1 flags=$2 work=$3 archive=$4
mkdir -p "$work"
so="$work/$(basename "$archive" .a).so"
rm -f "$so"
# The host services stay undefined: the daemon provides them.
# shellcheck disable=SC2086
"$cc" $flags -shared -o "$so" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive
if readelf -d "$so" | grep -E 'TEXTREL'; then
    echo "$so has text relocations: $archive holds code that is not position-independent" >&2
    exit 1
fi
nm --defined-only -g "$archive" | awk 'NF==3 {print $3}' | sort -u >"$work/archive-symbols"
nm -D --defined-only "$so" | awk 'NF==3 {print $3}' | sort -u >"$work/so-symbols"
[ -s "$work/archive-symbols" ] || { echo "$archive defines no global symbol" >&2; exit 1; }
if comm -23 "$work/archive-symbols" "$work/so-symbols" | grep .; then
    echo "$so does not export the symbols above" >&2
    exit 1
fi
echo "$(wc -l <"$work/archive-symbols") symbols of $(basename "$archive") exported by $(basename "$so")"
