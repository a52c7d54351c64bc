#!/bin/sh
# hwid and hwid-explain whose mount table is no regular file: a FIFO, or a
# character device that never ends (/dev/zero, /dev/urandom), at
# /proc/self/mountinfo. Both run in a private mount namespace, chrooted into a
# tmpfs root (whose device number is anonymous, so the mount table is read),
# with the host's /sys. Each run must end on its own, exit 0 and print the
# identifier that an empty mount table gives (drive 0 the first disk by name).
#   hwid_mount_table_test.sh HWID HWID_EXPLAIN
# Both must be static. Exits 77 (skipped) where a mount namespace cannot be
# made (not root).
set -u
hwid=$1
explain=$2
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "cannot make a private mount namespace here"
    exit 77
fi
root=$(mktemp -d) || exit 1
# The mounts live in the namespace alone and go with it; the folder left on
# the host is empty, so rmdir is all it takes.
out=$(unshare -m --propagation private sh -c '
    root=$1
    mount -t tmpfs none "$root" || exit 99
    mkdir -p "$root/proc/self" "$root/sys" "$root/dev" "$root/bin" || exit 99
    mount --rbind /sys "$root/sys" || exit 99
    cp "$2" "$root/bin/hwid" && cp "$3" "$root/bin/hwid-explain" || exit 99
    table="$root/proc/self/mountinfo"
    for kind in file fifo zero urandom; do
        rm -f "$table"
        case $kind in
            file) : >"$table" ;;
            fifo) mkfifo "$table" ;;
            zero) mknod "$table" c 1 5 ;;
            urandom) mknod "$table" c 1 9 ;;
        esac || exit 99
        id=$(timeout -s KILL 20 chroot "$root" /bin/hwid)
        status=$?
        timeout -s KILL 20 chroot "$root" /bin/hwid-explain --json >/dev/null
        echo "$kind $status $? $id"
    done' sh "$root" "$hwid" "$explain")
status=$?
rmdir "$root"
[ "$status" -ne 99 ] || { echo "cannot make the root: $out"; exit 77; }
echo "$out"
expected=$(echo "$out" | awk '$1 == "file" { print $4 }')
echo "$expected" | grep -Eq '^[0-9A-F]{64}$' || { echo "FAIL: no identifier with an empty mount table"; exit 1; }
failed=0
for kind in fifo zero urandom; do
    line=$(echo "$out" | awk -v k="$kind" '$1 == k')
    if [ "$line" != "$kind 0 0 $expected" ]; then
        echo "FAIL: mount table a $kind: '$line' (kind, hwid status, hwid-explain status, identifier), expected '$kind 0 0 $expected'"
        failed=1
    fi
done
exit $failed
