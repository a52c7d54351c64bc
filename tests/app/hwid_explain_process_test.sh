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
