#!/bin/sh
# The README's build-and-run command on a fresh Debian 12: makes a root with
# mmdebstrap (variant apt, plus git), clones the committed checkout into it,
# runs the command in a chroot and checks that it prints an identifier.
#   fresh_root_test.sh SOURCE_DIR WORK_DIR
#
# The root gets its own /dev (a tmpfs with a few nodes), /proc and /sys, all
# mounted inside a private mount namespace, so they vanish with it; the host's
# /dev is never mounted in. The root is removed only when nothing is mounted
# under it, and then without crossing into other file systems.
set -eu
source=$(cd "$1" && pwd)
work=$2
mkdir -p "$work"
work=$(cd "$work" && pwd)
sudo=
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"

# The base system is made once and kept in the work folder.
tarball="$work/debian12-apt-git.tar"
if [ ! -f "$tarball" ]; then
    $sudo mmdebstrap --quiet --variant=apt --include=git --skip=output/dev bookworm "$work/partial.tar" \
        "deb http://deb.debian.org/debian bookworm main" \
        "deb http://deb.debian.org/debian bookworm-updates main" \
        "deb http://deb.debian.org/debian-security bookworm-security main"
    mv "$work/partial.tar" "$tarball"
fi

root=$(mktemp -d "$work/root.XXXXXX")
mounted_under_root() {
    # Field 5 of mountinfo is the mount point.
    awk -v root="$root" '$5 == root || index($5, root "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}
cleanup() {
    if mounted_under_root; then
        echo "FAIL: something is still mounted under $root; it is left in place" >&2
        exit 1
    fi
    $sudo rm -rf --one-file-system "$root"
}
trap cleanup EXIT

$sudo tar -C "$root" -xf "$tarball"
# The committed state of the checkout, as a user would clone it.
$sudo git clone --quiet --no-hardlinks "$source" "$root/root/hwid"
$sudo cp /etc/resolv.conf "$root/etc/resolv.conf"
$sudo mkdir -p "$root/dev" "$root/proc" "$root/sys"

# The README's first command: the line after the fence below "## Build and run".
command=$(awk '/^## Build and run/ { section = 1; next } /^## / { section = 0 }
               section && fence { print; exit } section && /^```/ { fence = 1 }' "$source/README.md")
[ -n "$command" ] || { echo "FAIL: no command under Build and run in README.md"; exit 1; }
echo "running in a fresh Debian 12 root: $command"

start=$(date +%s)
set +e
$sudo unshare --mount --propagation private -- sh -eu -c '
    root=$1
    command=$2
    mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
    mknod -m 666 "$root/dev/null" c 1 3
    mknod -m 666 "$root/dev/zero" c 1 5
    mknod -m 666 "$root/dev/full" c 1 7
    mknod -m 666 "$root/dev/random" c 1 8
    mknod -m 666 "$root/dev/urandom" c 1 9
    mknod -m 666 "$root/dev/tty" c 5 0
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 sh -c "cd /root/hwid && $command"
' fresh "$root" "$command" >"$work/stdout" 2>"$work/stderr"
status=$?
set -e
echo "exit status $status after $(($(date +%s) - start)) s"

if [ "$status" -ne 0 ]; then
    echo "FAIL: the command failed; the end of its output:"
    tail -n 40 "$work/stderr"
    exit 1
fi
if ! grep -Eqx '[0-9A-F]{64}' "$work/stdout"; then
    echo "FAIL: no identifier on standard output:"
    cat "$work/stdout"
    exit 1
fi
echo "identifier in the fresh root: $(cat "$work/stdout")"
