#!/bin/sh
# Runs the built hwid-explain as a process beside hwid: the identifier it
# tells must be the one hwid prints, --json must be valid JSON, --compare must
# tell a change, and options are checked.
#   hwid_explain_process_test.sh HWID_EXPLAIN HWID
# HWID_RUNNER (for example wine) is put in front of every run.
set -u
explain=$1
hwid=$2
runner=${HWID_RUNNER-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# shellcheck disable=SC2086
run() { $runner "$explain" "$@"; }

# shellcheck disable=SC2086
identifier=$($runner "$hwid")

run >"$tmp/text" 2>"$tmp/err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status: $(cat "$tmp/err")"
told=$(sed -n 's/^  identifier: *//p' "$tmp/text" | tr -d '\r')
[ "$told" = "$identifier" ] || fail "text tells identifier '$told', hwid prints '$identifier'"
grep -q '^  CPU signature: *0x[0-9A-F]\{8\}' "$tmp/text" || fail "no CPU signature line"
grep -q '^Drive 0' "$tmp/text" || fail "no drive 0 section"

run --json >"$tmp/json" 2>"$tmp/err"
status=$?
[ "$status" -eq 0 ] || fail "--json: exit status $status"
python3 - "$tmp/json" "$identifier" <<'PY' || fail "--json output wrong: $(cat "$tmp/json")"
import json, sys
report = json.load(open(sys.argv[1]))
assert report["identifier"] == sys.argv[2], report["identifier"]
for key in ("cpu", "drive", "smart_probe", "storage_probe", "model", "serial",
            "serial_obtained", "fold_value", "warning"):
    assert key in report, key
assert report["cpu"]["signature"].startswith("0x")
assert report["serial_obtained"] or report["warning"]
PY

run --compare "$tmp/json" >"$tmp/out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "--compare with its own output: exit status $status: $(cat "$tmp/out")"
sed 's/"identifier": "[0-9A-F]*"/"identifier": "0000000000000000000000000000000000000000000000000000000000000000"/' \
    "$tmp/json" >"$tmp/changed"
run --compare "$tmp/changed" >"$tmp/out" 2>&1
status=$?
[ "$status" -eq 1 ] || fail "--compare with a changed identifier: exit status $status"
grep -q 'identifier: *changed' "$tmp/out" || fail "--compare does not tell the change: $(cat "$tmp/out")"
run --compare "$tmp/missing" >/dev/null 2>&1
status=$?
[ "$status" -eq 2 ] || fail "--compare with a missing file: exit status $status"

# A FILE that cannot be used: exit 2, nothing on standard output, one line on
# standard error that says what is wrong.
refuses() {
    name=$1
    file=$2
    reason=$3
    run --compare "$file" >"$tmp/out" 2>"$tmp/err"
    status=$?
    [ "$status" -eq 2 ] || fail "$name: exit status $status"
    [ ! -s "$tmp/out" ] || fail "$name: printed to standard output: $(cat "$tmp/out")"
    [ "$(wc -l <"$tmp/err")" -eq 1 ] || fail "$name: not one line: $(cat "$tmp/err")"
    grep -qF -- "$reason" "$tmp/err" || fail "$name: no '$reason' in: $(cat "$tmp/err")"
}
sed 's/"model"/"model": "x", "model"/' "$tmp/json" >"$tmp/duplicate"
refuses "duplicate key" "$tmp/duplicate" 'duplicate key "model"'
sed 's/"identifier": "\([0-9A-F]*\)"/"identifier": ["\1"]/' "$tmp/json" >"$tmp/array"
refuses "identifier array" "$tmp/array" '"identifier" is an array, not a string'
sed 's/"serial_obtained": \([a-z]*\)/"serial_obtained": "\1"/' "$tmp/json" >"$tmp/string"
refuses "serial_obtained string" "$tmp/string" '"serial_obtained" is a string, not a boolean'
sed 's/"model": "/"model": "\\u0000/' "$tmp/json" >"$tmp/zero"
refuses "zero character" "$tmp/zero" '"model" holds \u0000'
{ printf '['; cat "$tmp/json"; printf ']'; } >"$tmp/top"
refuses "top-level array" "$tmp/top" 'the top level is an array, not an object'
refuses "missing file" "$tmp/missing" "cannot read $tmp/missing: No such file or directory"
# Exactly 1 MiB is read; one byte more is refused.
python3 - "$tmp/json" "$tmp/limit" "$tmp/over" <<'PY'
import sys
base = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(base + b" " * (1048576 - len(base)))
open(sys.argv[3], "wb").write(base + b" " * (1048577 - len(base)))
PY
run --compare "$tmp/limit" >/dev/null 2>"$tmp/err" || fail "a file of 1 MiB: $(cat "$tmp/err")"
refuses "a file over 1 MiB" "$tmp/over" "cannot read $tmp/over: larger than 1 MiB"
if [ -z "$runner" ]; then
    # A FIFO without a writer must be refused at once, not waited on.
    mkfifo "$tmp/fifo"
    timeout 10 "$explain" --compare "$tmp/fifo" >/dev/null 2>"$tmp/err"
    status=$?
    [ "$status" -eq 2 ] || fail "FIFO: exit status $status"
    grep -qF "cannot read $tmp/fifo: not a regular file" "$tmp/err" || fail "FIFO: $(cat "$tmp/err")"
fi

# The comparison answers by the identifier alone: descriptive fields that
# changed are listed, and the status stays 0.
sed 's/"model": "[^"]*"/"model": "ANOTHER MODEL"/; s/"bus": "[^"]*"/"bus": "usb"/' \
    "$tmp/json" >"$tmp/described"
run --compare "$tmp/described" >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 0 ] || fail "--compare with another model and bus: exit status $status"
grep -q '^model: *changed (was ANOTHER MODEL' "$tmp/out" || fail "model change not listed: $(cat "$tmp/out")"
grep -q '^bus: *changed (was usb' "$tmp/out" || fail "bus change not listed: $(cat "$tmp/out")"
# Hexadecimal digits in either case are the same identifier.
sed 's/"identifier": "\([0-9A-F]*\)"/"identifier": "\L\1"/' "$tmp/json" >"$tmp/lower"
grep -q '"identifier": "[0-9a-f]\{64\}"' "$tmp/lower" || fail "no lower-case identifier made"
run --compare="$tmp/lower" >"$tmp/out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "--compare= with a lower-case identifier: exit status $status: $(cat "$tmp/out")"
# What Windows PowerShell 5.1's ">" writes (UTF-16LE with a mark), UTF-16BE
# and UTF-8 with a mark are all read.
for encoding in utf-16-le utf-16-be utf-8; do
    python3 - "$tmp/json" "$tmp/encoded" "$encoding" <<'PY'
import sys
text = open(sys.argv[1], encoding="ascii").read().replace("\n", "\r\n")
mark = {"utf-16-le": b"\xff\xfe", "utf-16-be": b"\xfe\xff", "utf-8": b"\xef\xbb\xbf"}[sys.argv[3]]
open(sys.argv[2], "wb").write(mark + text.encode(sys.argv[3]))
PY
    run --compare "$tmp/encoded" >"$tmp/out" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "--compare with $encoding and a byte-order mark: exit status $status: $(cat "$tmp/out")"
done
# --json --compare prints the comparison as JSON.
run --json --compare "$tmp/changed" >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 1 ] || fail "--json --compare with a changed identifier: exit status $status"
python3 - "$tmp/out" <<'PY' || fail "--json --compare output wrong: $(cat "$tmp/out")"
import json, sys
comparison = json.load(open(sys.argv[1]))
assert comparison["identifier_changed"] is True
assert comparison["changed"] == ["identifier"], comparison["changed"]
assert comparison["identifier"]["was"] == "0" * 64
assert comparison["model"]["changed"] is False
PY

run --help >"$tmp/out" 2>&1
[ $? -eq 0 ] && grep -q '^usage: hwid-explain' "$tmp/out" || fail "--help"
run --version >"$tmp/out" 2>&1
[ $? -eq 0 ] && grep -q '^hwid-explain [0-9]' "$tmp/out" || fail "--version: $(cat "$tmp/out")"
run --bogus >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 2 ] || fail "unknown option: exit status $status"
grep -q '^usage: hwid-explain' "$tmp/err" || fail "unknown option: no usage line"
[ ! -s "$tmp/out" ] || fail "unknown option: printed to standard output"

for help in -h '-?' '/?'; do
    run "$help" >"$tmp/out" 2>&1
    [ $? -eq 0 ] && grep -q '^usage: hwid-explain' "$tmp/out" || fail "$help is no help"
done
run --json -- >"$tmp/out" 2>"$tmp/err"
[ $? -eq 0 ] && [ -s "$tmp/out" ] || fail "--json --: $(cat "$tmp/err")"
run -- --json >"$tmp/out" 2>"$tmp/err"
[ $? -eq 2 ] && [ ! -s "$tmp/out" ] || fail "an argument after -- is taken"
grep -q 'unexpected argument: --json' "$tmp/err" || fail "after --: $(cat "$tmp/err")"
run --compare >"$tmp/out" 2>"$tmp/err"
[ $? -eq 2 ] && [ ! -s "$tmp/out" ] || fail "--compare without FILE"
grep -q '^hwid-explain: --compare needs a FILE' "$tmp/err" || fail "--compare without FILE: $(cat "$tmp/err")"

if [ -z "$runner" ]; then
    # A reader that has gone: exit 1 with the cause, not death by SIGPIPE. The
    # pipe's read end is closed before the program starts, so every write fails.
    python3 - "$explain" <<'PY' || fail "closed standard output"
import os, subprocess, sys
read, write = os.pipe()
os.close(read)
run = subprocess.run([sys.argv[1], "--json"], stdout=write, stderr=subprocess.PIPE)
assert run.returncode == 1, run.returncode
assert b"cannot write to standard output: Broken pipe" in run.stderr, run.stderr
PY
    # On Linux a failure is told by its errno, not by a Windows code.
    if grep -q 'opened the drive: *no (error' "$tmp/text"; then
        fail "a failed open told by a Windows code: $(grep 'opened the drive' "$tmp/text")"
    fi
    if grep -q '"storage_probe": {[^}]*"answered": true' "$tmp/json"; then
        grep -q '^  serial read from:    /sys/\|^  serial read from:    SCSI INQUIRY' "$tmp/text" ||
            fail "the storage probe does not say where the serial came from: $(cat "$tmp/text")"
    fi
fi

if [ "$failures" -eq 0 ]; then
    echo "hwid-explain process checks passed"
fi
exit "$failures"
