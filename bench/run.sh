#!/usr/bin/env bash
# Measures one run of the static release hwid side by side with the floor (a
# static C program that prints 64 bytes) and the tools people use today to
# read a disk's serial, all on the same disk in one run: instructions per run
# (callgrind), wall time (hyperfine, all commands in one run) and peak memory
# (GNU time). The hwid/floor wall-time ratio comes from five further rounds of
# hyperfine with the two alone (the median of the rounds, with their range),
# and from bench/alternate.c, which starts the two in turn so that both see
# the same machine. Prints a table; asserts nothing.
#   bench/run.sh        (needs valgrind hyperfine gcc time; lsblk and smartctl
#                        are measured when present: util-linux, smartmontools)
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in valgrind hyperfine gcc /usr/bin/time python3; do
    command -v "$tool" >/dev/null ||
        { echo "bench needs $tool (apt-get install valgrind hyperfine gcc time python3)"; exit 2; }
done

cmake --preset release >/dev/null
cmake --build --preset release --target hwid hwid_explain >/dev/null
out=build/bench
mkdir -p "$out"
gcc -O2 -static -o "$out/floor.built" bench/floor.c
gcc -O2 -Wall -Wextra -o "$out/alternate" bench/alternate.c
# Both measured as copies, the way an installation lays a binary down: here a
# binary just written by the linker starts up measurably slower than a copy
# of it, and the two must not differ in that.
install -m 755 "$out/floor.built" "$out/floor"
install -m 755 build/release/src/app/hwid "$out/hwid"
hwid=$out/hwid

# The disk that hwid takes as drive 0, so that every tool reads the same one.
disk=$(build/release/src/app/hwid-explain --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["drive"]["path"])')
name=${disk##*/}

names=("hwid" "floor (static C, 64 bytes)" "cat /sys/block/$name/serial")
commands=("$hwid" "$out/floor" "cat /sys/block/$name/serial")
if command -v lsblk >/dev/null; then
    names+=("lsblk -dno SERIAL $disk")
    commands+=("lsblk -dno SERIAL $disk")
fi
if command -v smartctl >/dev/null; then
    names+=("smartctl -i $disk")
    commands+=("smartctl -i $disk")
fi

instructions() {
    # shellcheck disable=SC2086
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" $1 >/dev/null 2>"$out/callgrind.log" || true
    awk '/^(summary|totals):/ {print $2; exit}' "$out/callgrind.out"
}
peak_kib() {
    # shellcheck disable=SC2086
    /usr/bin/time -f '%M' $1 2>&1 >/dev/null | tail -n 1
}

hyperfine -N -i --warmup 20 --runs 300 --export-json "$out/hyperfine.json" "${commands[@]}" >"$out/hyperfine.txt" 2>&1
mapfile -t times < <(python3 -c '
import json, statistics, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print("%.3f %.3f" % (statistics.median(r["times"]) * 1000, r["mean"] * 1000))' "$out/hyperfine.json")

rounds=()
for round in 1 2 3 4 5; do
    hyperfine -N --warmup 50 --runs 400 --export-json "$out/round$round.json" "$hwid" "$out/floor" \
        >/dev/null 2>&1
    rounds+=("$out/round$round.json")
done

echo "| command | instructions | median wall time (ms) | mean wall time (ms) | peak RSS (KiB) |"
echo "|---|---:|---:|---:|---:|"
declare -a irs
for i in "${!commands[@]}"; do
    irs[i]=$(instructions "${commands[i]}")
    read -r median mean <<<"${times[i]}"
    echo "| ${names[i]} | ${irs[i]} | $median | $mean | $(peak_kib "${commands[i]}") |"
done
python3 - "${irs[@]}" -- "${rounds[@]}" <<'PY'
import json, statistics, sys
args = sys.argv[1:]
split = args.index("--")
irs = [int(x) for x in args[:split]]
ratios = []
for path in args[split + 1:]:
    hwid, floor = (statistics.median(r["times"]) for r in json.load(open(path))["results"])
    ratios.append(hwid / floor)
print("hwid / floor wall time (median of %d rounds of 400 runs each): %.2f (rounds %.2f to %.2f)"
      % (len(ratios), statistics.median(ratios), min(ratios), max(ratios)))
for i, label in ((3, "lsblk"), (4, "smartctl")):
    if i < len(irs):
        print("%s / hwid instructions: %.1f" % (label, irs[i] / irs[0]))
PY
"$out/alternate" 3000 "$hwid" "$out/floor" |
    awk -F'\t' 'NR == 1 {print "hwid / floor wall time (3,000 runs each, taken in turn): " $3}'
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr); drive 0: $disk"
