#!/usr/bin/env bash
# libhwid's cost beside the program's: the median wall time of one
# hwid_get_identifier call in a running process and of one run of the static
# hwid, in one run of bench/library.c; and the instructions of one call under
# callgrind (the calls of N + 1 minus those of N, so that the key schedule,
# set up once a process, does not count). Prints the figures; asserts nothing.
#   bench/library.sh [ROUNDS]     (needs valgrind and gcc)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-1000}
cmake --preset release >/dev/null
cmake --build --preset release --target hwid hwid_library >/dev/null
out=build/bench
mkdir -p "$out"
lib=build/release/src/lib
gcc -O2 -Wall -Wextra -Iinclude -o "$out/library" bench/library.c -L"$lib" -lhwid \
    -Wl,-rpath,"$PWD/$lib"
install -m 755 build/release/src/app/hwid "$out/hwid"
"$out/library" "$out/hwid" "$rounds"

calls() {
    valgrind --tool=callgrind --toggle-collect=hwid_get_identifier \
        --callgrind-out-file="$out/library.callgrind" "$out/library" --calls "$1" \
        >/dev/null 2>"$out/library.callgrind.log"
    awk '/^(summary|totals):/ {print $2; exit}' "$out/library.callgrind"
}
one=$(calls 1)
eleven=$(calls 11)
echo "instructions: first call $one (with the key schedule), each later call $(((eleven - one) / 10))"
valgrind --tool=callgrind --callgrind-out-file="$out/hwid.callgrind" "$out/hwid" >/dev/null 2>&1
echo "instructions: one run of hwid $(awk '/^(summary|totals):/ {print $2; exit}' "$out/hwid.callgrind")"
