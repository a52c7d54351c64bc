#!/bin/sh
# Builds examples/consumer.c against an installed tree, as a user would, and
# compares what it prints with hwid:
# - natively: through pkg-config (shared library) and through
#   find_package(hwid) in the separate CMake project examples/ (shared and
#   static library);
# - with a cross toolchain file: through find_package(hwid) with that
#   toolchain, run under HWID_RUNNER (wine) with hwid.dll beside the program.
#   consumer_test.sh BUILD_DIR SOURCE_DIR HWID [TOOLCHAIN_FILE]
set -u
build=$1
source=$2
hwid=$3
toolchain=${4-}
runner=${HWID_RUNNER-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
    { echo "FAIL: install: $(cat "$tmp/install.log")"; exit 1; }
# shellcheck disable=SC2086
expected=$($runner "$hwid") || fail "hwid failed"
echo "$expected" | LC_ALL=C grep -Eq '^[0-9A-F]{64}$' || fail "hwid printed $expected"

compare() {  # NAME PROGRAM
    # shellcheck disable=SC2086
    got=$($runner "$2" 2>"$tmp/err")
    status=$?
    [ "$status" -eq 0 ] || fail "$1: exit status $status: $(cat "$tmp/err")"
    [ "$got" = "$expected" ] || fail "$1 printed '$got', hwid '$expected'"
    [ "$failures" -ne 0 ] || echo "$1: $got"
}

if [ -z "$toolchain" ]; then
    libdir=$(dirname "$(find "$prefix" -name 'libhwid.so.1' | head -n 1)")
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    pkg-config --exists hwid || fail "pkg-config does not know hwid"
    # shellcheck disable=SC2046
    cc -Wall -Wextra -Werror -o "$tmp/consumer_pc" "$source/examples/consumer.c" \
        $(pkg-config --cflags --libs hwid) >"$tmp/cc.log" 2>&1 || fail "pkg-config build: $(cat "$tmp/cc.log")"
    LD_LIBRARY_PATH=$libdir compare "pkg-config build" "$tmp/consumer_pc"
    readelf -d "$tmp/consumer_pc" | grep -q 'NEEDED.*libhwid\.so\.1' || fail "pkg-config build does not link libhwid.so.1"
fi

set -- -S "$source/examples" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
# A cross toolchain looks for packages under its own root only: name the
# package's folder.
[ -z "$toolchain" ] ||
    set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dhwid_DIR="$prefix/lib/cmake/hwid"
{ cmake "$@" && cmake --build "$tmp/cmake"; } >"$tmp/cmake.log" 2>&1 || fail "CMake build: $(cat "$tmp/cmake.log")"
if [ -z "$toolchain" ]; then
    LD_LIBRARY_PATH=$libdir compare "find_package build" "$tmp/cmake/consumer"
    # The run path of the build tree finds the library without help, too.
    compare "find_package build (run path)" "$tmp/cmake/consumer"
    compare "find_package static build" "$tmp/cmake/consumer_static"
    readelf -d "$tmp/cmake/consumer_static" | grep -q 'libhwid' && fail "static build needs libhwid"
else
    cp "$prefix/bin/hwid.dll" "$tmp/cmake/"
    compare "find_package build (hwid.dll)" "$tmp/cmake/consumer.exe"
    compare "find_package static build" "$tmp/cmake/consumer_static.exe"
fi
exit "$failures"
