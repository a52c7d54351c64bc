#!/bin/sh
# With no file descriptors left, the disk cannot be read: hwid must print
# nothing, say why in one line on standard error and exit 1, and the library
# must give its resource status, never an identifier.
#   resource_test.sh HWID PRINT_FACTS
# HWID is run under `ulimit -n 3` (it must be linked statically, for the
# dynamic loader itself needs a descriptor); PRINT_FACTS lowers its own limit.
set -u
hwid=$1
printer=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

check() {  # NAME STATUS
    [ "$2" -eq 1 ] || fail "$1: exit status $2, expected 1"
    [ ! -s "$tmp/out" ] || fail "$1: printed '$(cat "$tmp/out")'"
    lines=$(wc -l <"$tmp/err")
    [ "$lines" -eq 1 ] || fail "$1: $lines lines on standard error: $(cat "$tmp/err")"
    echo "$1: $(cat "$tmp/err")"
}

(ulimit -n 3 && exec "$hwid") >"$tmp/out" 2>"$tmp/err"
check "hwid, ulimit -n 3" $?
grep -q '^hwid: cannot read drive 0: too many open files$' "$tmp/err" || fail "hwid's message: $(cat "$tmp/err")"

"$printer" --identifier --max-files 3 >"$tmp/out" 2>"$tmp/err"
check "hwid_get_identifier, 3 files" $?
"$printer" --max-files 3 >"$tmp/out" 2>"$tmp/err"
check "hwid_get_facts, 3 files" $?
grep -q 'resources ran out' "$tmp/err" || fail "not the resource status: $(cat "$tmp/err")"

# With room, the same programs succeed and agree.
"$hwid" >"$tmp/out" 2>"$tmp/err" || fail "hwid without a limit: $(cat "$tmp/err")"
"$printer" --identifier >"$tmp/lib" 2>"$tmp/err" || fail "library without a limit: $(cat "$tmp/err")"
cmp -s "$tmp/out" "$tmp/lib" || fail "library '$(cat "$tmp/lib")', hwid '$(cat "$tmp/out")'"
exit "$failures"
