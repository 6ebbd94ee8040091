#!/bin/sh
# Reads the hardening of a program back from its ELF headers and symbols:
#   PIE           the file type is DYN (a position-independent executable);
#   full RELRO    a GNU_RELRO segment, and BIND_NOW so that the whole GOT is
#                 resolved at start-up and then made read-only;
#   stack guard   a call to __stack_chk_fail;
#   fortify       a checked C library call (__*_chk), when FORTIFIED is 1.
# Usage: hardening_check.sh PROGRAM FORTIFIED
set -eu
program=$1 fortified=$2
case "$fortified" in 0 | 1) ;; *) echo "FORTIFIED must be 0 or 1, not '$fortified'" >&2; exit 2 ;; esac
status=0
fail() { echo "$program: $*" >&2; status=1; }

readelf -h "$program" | grep -Eq 'Type:[[:space:]]+DYN' || fail "not a position-independent executable"
readelf -lW "$program" | grep -q 'GNU_RELRO' || fail "no GNU_RELRO segment"
readelf -dW "$program" | grep -Eq '\(BIND_NOW\)|\(FLAGS(_1)?\).*[[:space:]]NOW' || fail "no BIND_NOW: RELRO is partial"
symbols=$(readelf --dyn-syms -W "$program" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}')
echo "$symbols" | grep -qx '__stack_chk_fail' || fail "no stack protector (__stack_chk_fail)"
if [ "$fortified" = 1 ]; then
    echo "$symbols" | grep -v '^__stack_chk_fail$' | grep -Eq '^__[a-z0-9_]+_chk$' ||
        fail "no checked C library call (__*_chk): _FORTIFY_SOURCE had no effect"
fi
[ "$status" -eq 0 ] && echo "$program: PIE, full RELRO, stack protector$([ "$fortified" = 1 ] && echo ", fortified")"
exit $status
