#!/bin/sh
# hwid in a private mount namespace where /sys and /proc are empty: no disk
# can be found, so it must print the identifier of the CPU alone and exit 0.
#   hwid_no_sysfs_test.sh HWID HWID_DERIVE
# Exits 77 (skipped) where a mount namespace cannot be made (not root).
set -u
hwid=$1
derive=$2
expected=$("$derive" "")
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "cannot make a private mount namespace here"
    exit 77
fi
out=$(unshare -m --propagation private sh -c '
    mount -t tmpfs none /sys && mount -t tmpfs none /proc || exit 99
    exec "$0"' "$hwid")
status=$?
[ "$status" -ne 99 ] || { echo "cannot mount over /sys and /proc"; exit 77; }
if [ "$status" -ne 0 ] || [ "$out" != "$expected" ]; then
    echo "FAIL: status $status, printed '$out', expected '$expected' (the CPU alone)"
    exit 1
fi
echo "without /sys and /proc: $out, the CPU alone"
