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
sed 's/"model": "/"model": "\\u0000/' "$tmp/json" >"$tmp/nul"
refuses "zero character" "$tmp/nul" '"model" holds \u0000'
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

run --help >"$tmp/out" 2>&1
[ $? -eq 0 ] && grep -q '^usage: hwid-explain' "$tmp/out" || fail "--help"
run --version >"$tmp/out" 2>&1
[ $? -eq 0 ] && grep -q '^hwid-explain [0-9]' "$tmp/out" || fail "--version: $(cat "$tmp/out")"
run --bogus >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 2 ] || fail "unknown option: exit status $status"
grep -q '^usage: hwid-explain' "$tmp/err" || fail "unknown option: no usage line"
[ ! -s "$tmp/out" ] || fail "unknown option: printed to standard output"

if [ "$failures" -eq 0 ]; then
    echo "hwid-explain process checks passed"
fi
exit "$failures"
