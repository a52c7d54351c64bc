#!/bin/sh
# Runs the built hwid as a process: what it prints, its exit status, and how it
# fails when standard output cannot take the identifier.
#   hwid_process_test.sh HWID [EXPECTED]
# With EXPECTED, the identifier must equal it. HWID_RUNNER (for example wine)
# is put in front of every run.
set -u
hwid=$1
expected=${2-}
runner=${HWID_RUNNER-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

run() {
    # shellcheck disable=SC2086
    $runner "$hwid" "$@"
}

run >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
[ ! -s "$tmp/err" ] || fail "standard error not empty: $(cat "$tmp/err")"
size=$(wc -c <"$tmp/out")
[ "$size" -eq 64 ] || fail "printed $size bytes, expected 64"
LC_ALL=C grep -Eq '^[0-9A-F]{64}$' "$tmp/out" || fail "not 64 uppercase hex digits: $(cat "$tmp/out")"
[ "$(tail -c 1 "$tmp/out" | od -An -c | tr -d ' ')" != '\n' ] || fail "ends in a line feed"
first=$(cat "$tmp/out")
if [ -n "$expected" ]; then
    [ "$first" = "$expected" ] || fail "printed $first, expected $expected"
fi

run >"$tmp/again" 2>/dev/null
[ "$(cat "$tmp/again")" = "$first" ] || fail "a second run printed $(cat "$tmp/again")"

run --help -x "an argument" 7 >"$tmp/args" 2>/dev/null
status=$?
[ "$status" -eq 0 ] || fail "exit status $status with arguments"
[ "$(cat "$tmp/args")" = "$first" ] || fail "arguments changed the output: $(cat "$tmp/args")"

# Standard output that cannot take the identifier: status 1 and one line on
# standard error, never a success.
check_write_failure() {
    what=$1
    status=$2
    [ "$status" -eq 1 ] || fail "stdout $what: exit status $status, expected 1"
    lines=$(wc -l <"$tmp/err")
    [ "$lines" -eq 1 ] || fail "stdout $what: $lines lines on standard error, expected 1"
}
if [ -w /dev/full ]; then
    run >/dev/full 2>"$tmp/err"
    check_write_failure "on /dev/full" $?
fi
run >&- 2>"$tmp/err"
check_write_failure "closed" $?
# A pipe whose reader has already gone.
{ sleep 0.3; run 2>"$tmp/err"; echo $? >"$tmp/status"; } | true
check_write_failure "a pipe without reader" "$(cat "$tmp/status")"

if [ "$failures" -eq 0 ]; then
    echo "hwid process checks passed: $first"
fi
exit "$failures"
