#!/bin/sh
# Builds the example daemon (examples/skeleton_daemon.c) with the C compiler
# alone against the module archives of this build, the obfuscation archive
# and libmd among them, then drives it as a NAS.
# Fails if an archive needs anything from the C++ runtime or has global
# constructors, if a module archive calls a message digest (MD5 is the
# daemon's business, or that of the optional obfuscation archive), or if the
# header takes a C caller's arguments only with a warning.
# Usage: c_link_check.sh CC SOURCE_ROOT WORKDIR "EXTRA_FLAGS" DRIVER ARCHIVE...
set -eu
cc=$1 root=$2 work=$3 flags=$4 driver=$5
shift 5
mkdir -p "$work"
for archive in "$@"; do
    nm -u "$archive" | awk 'NF {print $NF}' | sort -u >"$work/undefined"
    nm --defined-only "$archive" | awk 'NF==3 {print $3}' | sort -u >"$work/defined"
    if comm -23 "$work/undefined" "$work/defined" | grep -E '^(_Z|__cxa|__gxx|_Unwind)'; then
        echo "$archive needs the C++ runtime (symbols above)" >&2
        exit 1
    fi
    case "$archive" in
    *libzat_obfuscation.a) ;;
    *)
        if comm -23 "$work/undefined" "$work/defined" | grep -E '^MD[245]'; then
            echo "$archive calls a digest (symbols above)" >&2
            exit 1
        fi
        ;;
    esac
    # Nothing may run before main: no global constructors.  (A sanitizer
    # build adds its own, to register the instrumented globals.)
    case "$flags" in *-fsanitize*) continue ;; esac
    if objdump -h "$archive" | grep -E '\.(init_array|ctors)'; then
        echo "$archive has global constructors (sections above)" >&2
        exit 1
    fi
done
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra $flags -I"$root" "$root/examples/skeleton_daemon.c" "$@" -lmd -o "$work/skeleton_daemon"
# The argument array of send_author_reply takes a constant table and a
# const char ** alike, without a cast.
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra -pedantic $flags -I"$root" -c "$root/tests/link/author_args.c" -o "$work/author_args.o"
ZAT_SKELETON="$work/skeleton_daemon" "$driver"
