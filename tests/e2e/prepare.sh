#!/bin/sh
# Fetches and unpacks the Debian kernel that the end-to-end tests boot, once
# per build tree.
#
#   prepare.sh CACHE_DIR
#
# Leaves in CACHE_DIR:
#   kernel/            the unpacked linux-image package (boot/vmlinuz-*, lib/modules/*)
#   kernel/modules.dep is generated with depmod so modprobe -d can resolve it
#   kernel-release     the kernel release string, e.g. 6.1.0-58-amd64
#   kernel-package     the package name and version that was unpacked
# A second run with the cache in place does nothing.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 CACHE_DIR" >&2
    exit 2
fi
cache=$1
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The host tools the runner needs; all are Debian packages. (The initramfs
# archive is written by run_case.py itself, so cpio is not needed.)
missing=""
need() {  # need COMMAND PACKAGE
    command -v "$1" >/dev/null 2>&1 || [ -x "/usr/sbin/$1" ] || [ -x "/sbin/$1" ] ||
        missing="$missing $2"
}
need qemu-system-x86_64 qemu-system-x86
need modprobe kmod
need depmod kmod
need mke2fs e2fsprogs
need python3 python3
[ -x /bin/busybox ] || [ -x /usr/bin/busybox ] || missing="$missing busybox-static"
need apt-get apt
need dpkg dpkg
if [ -n "$missing" ]; then
    echo "prepare.sh: missing tools; install them with: apt-get install -y$missing" >&2
    exit 1
fi
PATH=$PATH:/usr/sbin:/sbin

if [ -f "$cache/kernel-release" ] && [ -f "$cache/kernel-package" ]; then
    release=$(cat "$cache/kernel-release")
    if [ -f "$cache/kernel/boot/vmlinuz-$release" ] &&
       [ -f "$cache/kernel/lib/modules/$release/modules.dep" ]; then
        echo "prepare.sh: kernel $(cat "$cache/kernel-package") already in $cache"
        exit 0
    fi
fi

# The current kernel image package that the linux-image-amd64 meta package
# points at.
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
      sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1)
if [ -z "$pkg" ]; then
    echo "prepare.sh: apt-cache knows no linux-image-amd64; run apt-get update first" >&2
    exit 1
fi

work=$(mktemp -d "$cache/download.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
(cd "$work" && apt-get download "$pkg") >&2
deb=$(ls "$work"/"$pkg"_*.deb)
version=$(dpkg-deb -f "$deb" Version)

rm -rf "$cache/kernel"
mkdir "$work/root"
dpkg -x "$deb" "$work/root"
release=$(ls "$work/root/lib/modules" | head -n 1)
if [ ! -f "$work/root/boot/vmlinuz-$release" ]; then
    echo "prepare.sh: $deb holds no boot/vmlinuz-$release" >&2
    exit 1
fi
# Sound, networking and graphics modules are never loaded by the tests; they
# are two thirds of the tree.
for unused in sound net drivers/net drivers/gpu drivers/media drivers/infiniband \
              drivers/iio drivers/staging drivers/bluetooth; do
    rm -rf "$work/root/lib/modules/$release/kernel/$unused"
done
depmod -b "$work/root" "$release"
mv "$work/root" "$cache/kernel"
echo "$release" >"$cache/kernel-release"
echo "$pkg $version" >"$cache/kernel-package"
echo "prepare.sh: unpacked $pkg $version into $cache/kernel"
