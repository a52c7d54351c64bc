#!/usr/bin/env bash
# Measures one run of the static release hwid against the floor, a static C
# program that prints 64 bytes: instructions (callgrind) and wall time
# (hyperfine, both in one run). Prints a table; asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in valgrind hyperfine gcc; do
    command -v "$tool" >/dev/null || { echo "bench needs $tool (apt-get install valgrind hyperfine gcc)"; exit 2; }
done

cmake --preset release >/dev/null
cmake --build --preset release --target hwid >/dev/null
out=build/bench
mkdir -p "$out"
gcc -O2 -static -o "$out/floor" bench/floor.c
hwid=build/release/src/hwid

instructions() {
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" "$@" >/dev/null 2>"$out/callgrind.log"
    grep -E '^summary:|^totals:' "$out/callgrind.out" | head -n 1 | awk '{print $2}'
}
peak_kib() {
    /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1
}

hwid_ir=$(instructions "$hwid")
floor_ir=$(instructions "$out/floor")
hyperfine -N --warmup 20 --runs 300 --export-json "$out/hyperfine.json" "$hwid" "$out/floor" >"$out/hyperfine.txt"
read -r hwid_ms floor_ms < <(python3 -c '
import json,sys
r=json.load(open(sys.argv[1]))["results"]
print(" ".join("%.3f" % (x["mean"]*1000) for x in r))' "$out/hyperfine.json")

echo "| program | instructions | mean wall time (ms) | peak RSS (KiB) |"
echo "|---|---|---|---|"
echo "| hwid | $hwid_ir | $hwid_ms | $(peak_kib "$hwid") |"
echo "| floor (static C, 64 bytes) | $floor_ir | $floor_ms | $(peak_kib "$out/floor") |"
python3 -c 'import sys; h,f=map(float,sys.argv[1:]); print("wall-time ratio hwid/floor: %.2f" % (h/f))' "$hwid_ms" "$floor_ms"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
