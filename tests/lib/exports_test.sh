#!/bin/sh
# libhwid.so.1 names itself by its major version, exports the four hwid_*
# functions and nothing else, and needs no C++ run-time of the system's.
#   exports_test.sh LIBRARY
set -u
library=$1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
readelf -d "$library" | grep -q 'SONAME.*\[libhwid\.so\.1\]' || fail "SONAME is not libhwid.so.1"
exports=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' | sort)
expected=$(printf '%s\n' hwid_get_facts hwid_get_identifier hwid_status_text hwid_version)
[ "$exports" = "$expected" ] || fail "exports: $exports"
readelf -d "$library" | grep NEEDED | grep -Eq 'libstdc\+\+|libgcc_s' && fail "needs the C++ run-time: $(readelf -d "$library" | grep NEEDED)"
[ "$failures" -eq 0 ] && echo "exports: $(echo "$exports" | tr '\n' ' ')"
exit "$failures"
