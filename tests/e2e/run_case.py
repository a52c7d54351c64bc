#!/usr/bin/env python3
"""End-to-end test of hwid on emulated disks under QEMU.

Boots the Debian kernel that prepare.sh unpacked, with the disks of one case,
runs the static hwid inside a generated initramfs, as root and as an
unprivileged user, and checks that it prints the identifier that belongs to the
guest's CPU signature and the serial text of physical drive 0.

The serial text that each disk should yield is written in the case table below,
from the serial the case gives QEMU. The identifier for that text is computed
inside the guest (the emulated CPU is not the host's) by hwid-derive, a
separate program, for every text the case knows; which one is expected for a
run is decided here, on the host, from the disks Linux listed at that moment:
drive 0 is the system disk when the case has one, otherwise the first whole
disk by name that is not a loop, ram, zram, nbd, md, dm, sr or fd device.
Each listed disk is tied to a disk of the case by its place in sysfs (PCI slot,
ATA port, SCSI target, USB port), never by the serial the kernel reports.

    run_case.py --cache DIR --work DIR --hwid FILE --derive FILE CASE...
    run_case.py --list

Exit status: 0 when every check of every case passed, 1 when a check failed,
2 when a case could not be run (missing kernel, QEMU error, boot time-out).
"""

import argparse
import base64
import dataclasses
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

# ---------------------------------------------------------------------------
# The cases.


@dataclasses.dataclass
class Disk:
    """One emulated disk. `locator` is a regular expression that matches the
    resolved /sys/block/NAME path of this disk and of no other; `qemu` are the
    QEMU arguments that attach it (the image is passed as {image}).
    `root_text` and `user_text` are the serial texts that hwid should obtain
    when this disk is drive 0, run as root and as an unprivileged user. A disk
    with no QEMU arguments is one the guest makes itself (scsi_debug)."""
    id: str
    serial: str
    locator: str
    qemu: list
    root_text: str = None
    user_text: str = None
    size_mib: int = 8
    system_image: bool = False  # holds the root file system of the second stage

    def __post_init__(self):
        if self.root_text is None:
            self.root_text = self.serial
        if self.user_text is None:
            self.user_text = self.root_text


@dataclasses.dataclass
class Case:
    name: str
    summary: str
    machine: str
    modules: list
    disks: list
    steps: list  # ("check",) | ("remove", disk id) | ("shell", command)
    qemu: list = dataclasses.field(default_factory=list)
    setup: list = dataclasses.field(default_factory=list)  # shell lines run before the steps
    system_disk: str = None  # id of the disk that holds the root file system
    # Serials of devices that must never be taken for drive 0 (CD-ROMs): only
    # used to name what a wrong identifier belongs to.
    decoys: list = dataclasses.field(default_factory=list)
    # Seconds that one hwid run may take, as the guest's clock measures it;
    # None: not checked (every run is still ended after HWID_KILL_AFTER).
    time_limit: float = None


CHECK = ("check",)


def remove(disk_id):
    return ("remove", disk_id)


def drive(disk_id, image_opts="format=raw"):
    return ["-drive", "if=none,id=%s,file={image},%s" % (disk_id, image_opts)]


Q35_AHCI = r"/0000:00:1f\.2/ata%d/"        # built-in ICH9 AHCI, port N is ataN+1
PIIX_IDE = r"/0000:00:01\.1/ata%d/host[0-9]+/target[0-9]+:0:%d/"


def pci(slot):
    return r"/0000:00:%02x\.0/" % slot


# Every hwid run in the guest is killed after this many seconds, so that a run
# that hangs shows as a failed check rather than a boot time-out. (A process
# waiting on the device in the kernel dies only when the wait ends.)
HWID_KILL_AFTER = 60

# One run against the disk that stops answering: the back end's 3 s for all
# device requests together, the kernel's abort of the request that timed out
# on top (3.2 to 3.6 s measured in all), and a margin for TCG on a host shared with
# other builds. Before the budget, such a run took over 7 s.
STALLED_TIME_LIMIT = 5.0

SKIPPED_DEVICES = [
    # Block devices that sort before sda and nvme0n1 and are never drive 0.
    "/sbin/losetup /dev/loop0 /tmp/loop.img",
    "echo md0 >/sys/module/md_mod/parameters/new_array",
]

CASES = [
    Case(
        name="ahci",
        summary="SATA on AHCI (q35): SMART path as root, descriptor path as user; "
                "a 20-character serial; loop, nbd, ram and md devices are skipped",
        machine="q35",
        # sg: IDENTIFY goes through the disks' generic nodes here (through
        # the block nodes in the nvme case).
        modules=["ahci", "sd_mod", "sg", "loop", "nbd nbds_max=1", "brd rd_nr=1 rd_size=1024",
                 "md_mod"],
        disks=[
            Disk("sata0", "E2E-SATA-0001", Q35_AHCI % 1,
                 drive("sata0") + ["-device", "ide-hd,drive=sata0,bus=ide.0,serial=E2E-SATA-0001"]),
            Disk("sata1", "E2E-SATA-20CHARS-XYZ", Q35_AHCI % 3,
                 drive("sata1") + ["-device", "ide-hd,drive=sata1,bus=ide.2,serial=E2E-SATA-20CHARS-XYZ"]),
        ],
        setup=["truncate -s 1M /tmp/loop.img"] + SKIPPED_DEVICES,
        steps=[CHECK, remove("sata0"), CHECK],
    ),
    Case(
        name="piix",
        summary="IDE on PIIX (pc); an ATAPI CD-ROM with a serial is skipped; "
                "a hex-looking virtio-blk serial is decoded",
        machine="pc",
        modules=["ata_piix", "sd_mod", "sr_mod", "virtio_pci", "virtio_blk"],
        disks=[
            Disk("pata0", "E2E-PATA-0001", PIIX_IDE % (1, 0),
                 drive("pata0") + ["-device", "ide-hd,drive=pata0,bus=ide.0,unit=0,serial=E2E-PATA-0001"]),
            # The text of a hex dump: 45 32 45 2d 48 45 58 is "E2E-HEX".
            Disk("vhex", "4532452d484558", pci(6),
                 drive("vhex") + ["-device", "virtio-blk-pci,drive=vhex,addr=0x6,serial=4532452d484558"],
                 root_text="E2E-HEX"),
        ],
        qemu=["-device", "ide-cd,bus=ide.1,unit=0,serial=E2E-CDROM-0001"],
        decoys=["E2E-CDROM-0001"],
        steps=[CHECK, remove("pata0"), CHECK],
    ),
    Case(
        name="nvme",
        summary="NVMe with an inner space, first by name before a SATA disk; SATA "
                "with an inner space and SATA with a hex-looking serial, where "
                "root and user differ",
        machine="q35",
        modules=["nvme", "ahci", "sd_mod"],
        disks=[
            Disk("nvme0", "E2E NVME 0001", pci(5),
                 drive("nvme0") + ["-device", "nvme,drive=nvme0,addr=0x5,serial=E2E NVME 0001"]),
            # ATA IDENTIFY strings lose every space; the descriptor keeps inner ones.
            Disk("sata0", "E2E SATA 02", Q35_AHCI % 1,
                 drive("sata0") + ["-device", "ide-hd,drive=sata0,bus=ide.0,serial=E2E SATA 02"],
                 root_text="E2ESATA02", user_text="E2E SATA 02"),
            # 45 32 45 2d 53 41 54 41 is "E2E-SATA": only the descriptor decodes it.
            Disk("sata1", "4532452d53415441", Q35_AHCI % 2,
                 drive("sata1") + ["-device", "ide-hd,drive=sata1,bus=ide.1,serial=4532452d53415441"],
                 root_text="4532452d53415441", user_text="E2E-SATA"),
        ],
        steps=[CHECK, remove("nvme0"), CHECK, remove("sata0"), CHECK],
    ),
    Case(
        name="scsi",
        summary="virtio-scsi with two scsi-hd targets, then virtio-blk",
        machine="q35",
        modules=["virtio_pci", "virtio_scsi", "sd_mod", "virtio_blk"],
        disks=[
            Disk("scsi0", "E2E-SCSI-0001", pci(5) + r".*/target[0-9]+:0:0/",
                 drive("scsi0") + ["-device", "scsi-hd,drive=scsi0,bus=vscsi.0,scsi-id=0,lun=0,serial=E2E-SCSI-0001"]),
            Disk("scsi1", "E2E-SCSI-0002", pci(5) + r".*/target[0-9]+:0:1/",
                 drive("scsi1") + ["-device", "scsi-hd,drive=scsi1,bus=vscsi.0,scsi-id=1,lun=0,serial=E2E-SCSI-0002"]),
            Disk("vblk0", "E2E-VIRTIO-0001", pci(6),
                 drive("vblk0") + ["-device", "virtio-blk-pci,drive=vblk0,addr=0x6,serial=E2E-VIRTIO-0001"]),
        ],
        qemu=["-device", "virtio-scsi-pci,id=vscsi,addr=0x5"],
        steps=[CHECK, remove("scsi0"), CHECK, remove("scsi1"), CHECK],
    ),
    Case(
        name="usb",
        summary="USB mass storage on xHCI",
        machine="q35",
        modules=["xhci_pci", "usb_storage", "sd_mod"],
        disks=[
            Disk("usb0", "E2E-USB-0001", pci(5) + r"usb[0-9]+/[0-9]+-1/",
                 drive("usb0") + ["-device", "usb-storage,drive=usb0,bus=xhci.0,port=1,serial=E2E-USB-0001"]),
        ],
        qemu=["-device", "qemu-xhci,id=xhci,addr=0x5"],
        steps=[CHECK],
    ),
    Case(
        name="nodisk",
        summary="no disk at all: only a CD-ROM and ram, loop and md devices; "
                "the identifier comes from the CPU alone",
        machine="q35",
        modules=["ahci", "sr_mod", "loop", "brd rd_nr=1 rd_size=1024", "md_mod"],
        disks=[],
        qemu=["-device", "ide-cd,bus=ide.0,serial=E2E-CDROM-0002"],
        decoys=["E2E-CDROM-0002"],
        setup=["truncate -s 1M /tmp/loop.img"] + SKIPPED_DEVICES,
        steps=[CHECK],
    ),
    Case(
        name="sysdisk",
        summary="root file system on a virtio-blk partition: that disk is drive 0 "
                "although a SATA disk comes first by name",
        machine="q35",
        modules=["ahci", "sd_mod", "virtio_pci", "virtio_blk", "ext4"],
        disks=[
            Disk("sata0", "E2E-SATA-0003", Q35_AHCI % 1,
                 drive("sata0") + ["-device", "ide-hd,drive=sata0,bus=ide.0,serial=E2E-SATA-0003"]),
            Disk("vroot", "E2E-ROOT-0001", pci(6),
                 drive("vroot") + ["-device", "virtio-blk-pci,drive=vroot,addr=0x6,serial=E2E-ROOT-0001"],
                 size_mib=40, system_image=True),
        ],
        system_disk="vroot",
        steps=[CHECK],
    ),
    Case(
        name="stalled",
        summary="a SCSI disk that stops answering (scsi_debug ignores every command, "
                "no unit serial number page in sysfs): the run ends within the bound "
                "on device requests and prints the identifier without a serial",
        machine="q35",
        # SCSI level 3 (SPC) keeps the kernel from reading VPD pages, so that
        # only hwid's own INQUIRY could fetch the serial; sg gives the disk
        # the generic node that keeps the request's timeout.
        modules=["scsi_debug scsi_level=3 dev_size_mb=8", "sd_mod", "sg"],
        disks=[
            Disk("sdebug0", "", r"/pseudo_[0-9]+/adapter[0-9]+/host[0-9]+/target[0-9]+:0:0/", []),
        ],
        # From here on scsi_debug lets every command time out.
        setup=["echo 1 >/sys/bus/pseudo/drivers/scsi_debug/every_nth",
               "echo 4 >/sys/bus/pseudo/drivers/scsi_debug/opts"],
        # Then the kernel's own messages about the requests that timed out,
        # and a disk that answers again, so that the shutdown's cache flush
        # does not wait for it.
        steps=[CHECK,
               ("shell", "dmesg | grep -E 'scsi|sd 0:' | grep -v 'Attached\\|Power-on' | "
                         "sed 's/^/@@E2E-INFO kernel: /'"),
               ("shell", "echo 0 >/sys/bus/pseudo/drivers/scsi_debug/opts")],
        # 3 s of device requests, the SCSI error handler's abort of the
        # request that timed out, and room for a loaded host under TCG.
        time_limit=STALLED_TIME_LIMIT,
    ),
]

# Whole disks that are never drive 0, by name prefix.
SKIPPED_PREFIXES = ("loop", "ram", "zram", "nbd", "md", "dm-", "sr", "fd")

PASSWD = b"root:x:0:0:root:/:/bin/sh\ne2e:x:1000:1000:e2e:/tmp:/bin/sh\n"
GROUP = b"root:x:0:\ne2e:x:1000:\n"

# ---------------------------------------------------------------------------
# Host side helpers.


class HarnessError(Exception):
    pass


def check_static(path):
    """Refuses a binary that needs a dynamic loader: the initramfs has none."""
    with open(path, "rb") as f:
        head = f.read(64)
        if head[:4] != b"\x7fELF" or head[4] != 2:
            raise HarnessError("%s is not a 64-bit ELF file" % path)
        phoff, = struct.unpack_from("<Q", head, 32)
        phentsize, phnum = struct.unpack_from("<HH", head, 54)
        for i in range(phnum):
            f.seek(phoff + i * phentsize)
            p_type, = struct.unpack("<I", f.read(4))
            if p_type == 3:  # PT_INTERP
                raise HarnessError("%s is dynamically linked; the tests need the static build "
                                   "(cmake --preset release)" % path)


class Cpio:
    """A newc archive, the format the kernel unpacks into its initramfs."""

    def __init__(self):
        self.parts = []
        self.ino = 1

    def _entry(self, name, mode, data=b""):
        header = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
        self.ino += 1
        blob = header.encode() + name.encode() + b"\0"
        blob += b"\0" * (-len(blob) % 4)
        blob += data
        blob += b"\0" * (-len(blob) % 4)
        self.parts.append(blob)

    def dir(self, name):
        self._entry(name, 0o040755)

    def file(self, name, data, mode=0o644):
        self._entry(name, 0o100000 | mode, data)

    def symlink(self, name, target):
        self._entry(name, 0o120777, target.encode())

    def bytes(self):
        self._entry("TRAILER!!!", 0)
        out = b"".join(self.parts)
        return out + b"\0" * (-len(out) % 512)


def find_tool(name, package):
    """A host tool, also where /usr/sbin is not on PATH."""
    path = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if not path:
        raise HarnessError("%s is missing (apt-get install %s)" % (name, package))
    return path


def kernel_paths(cache):
    try:
        with open(os.path.join(cache, "kernel-release")) as f:
            release = f.read().strip()
        with open(os.path.join(cache, "kernel-package")) as f:
            package = f.read().strip()
    except OSError:
        raise HarnessError("no kernel in %s: run prepare.sh %s first" % (cache, cache))
    root = os.path.join(cache, "kernel")
    vmlinuz = os.path.join(root, "boot", "vmlinuz-" + release)
    if not os.path.isfile(vmlinuz):
        raise HarnessError("missing %s: run prepare.sh again" % vmlinuz)
    return root, release, vmlinuz, package


def resolve_modules(kroot, release, wanted):
    """The .ko files for the modules named in wanted, dependencies first, each
    once, as `modprobe --show-depends` orders them. Returns (path, params)."""
    modprobe = find_tool("modprobe", "kmod")
    result, seen = [], set()
    with tempfile.TemporaryDirectory() as empty_conf:
        for entry in wanted:
            name, *params = entry.split()
            proc = subprocess.run(
                [modprobe, "-C", empty_conf, "-d", kroot, "-S", release, "--show-depends", name],
                capture_output=True, text=True)
            if proc.returncode != 0:
                raise HarnessError("modprobe --show-depends %s: %s" % (name, proc.stderr.strip()))
            lines = [l.split() for l in proc.stdout.splitlines() if l.strip()]
            for i, words in enumerate(lines):
                if words[0] == "builtin":
                    continue
                if words[0] != "insmod":
                    raise HarnessError("unexpected modprobe output: %s" % " ".join(words))
                path = words[1]
                if path in seen:
                    continue
                seen.add(path)
                last = i == len(lines) - 1
                result.append((path, params if last else []))
    return result


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


# ---------------------------------------------------------------------------
# The guest side: /init and the check script.

INIT = r"""#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo "@@E2E boot $(cut -d' ' -f1 /proc/uptime)"
while read -r ko params; do
    insmod "/lib/modules/$ko" $params 2>/tmp/insmod.err ||
        echo "@@E2E insmod-failed $ko $(head -n 1 /tmp/insmod.err)"
done </e2e/modules
echo "@@E2E modules-loaded $(cut -d' ' -f1 /proc/uptime)"
. /e2e/lib.sh
wait_for_disks
if [ -n "$SYSTEM_DISK" ]; then
    name=$(disk_name "$SYSTEM_DISK")
    mkdir -p /newroot
    if ! mount -t ext4 -o ro "/dev/${name}1" /newroot; then
        echo "@@E2E error cannot mount /dev/${name}1"
        poweroff -f
    fi
    mount -t tmpfs tmpfs /newroot/tmp
    mount --move /proc /newroot/proc
    mount --move /sys /newroot/sys
    mount --move /dev /newroot/dev
    echo "@@E2E switch-root /dev/${name}1"
    exec switch_root /newroot /e2e/steps.sh
fi
exec /e2e/steps.sh
"""

LIB = r"""
# The disk whose resolved sysfs path matches the case's locator.
disk_name() {
    locator=$(cat "/e2e/disks/$1")
    for b in /sys/block/*; do
        [ -e "$b" ] || continue
        if readlink -f "$b" | grep -Eq "$locator"; then
            echo "${b##*/}"
            return 0
        fi
    done
    return 1
}

wait_for_disks() {
    for id in $(ls /e2e/disks); do
        i=0
        while :; do
            name=$(disk_name "$id") && [ -b "/dev/$name" ] &&
                [ "$(cat /sys/block/$name/size)" != 0 ] && break
            i=$((i + 1))
            if [ $i -gt 300 ]; then
                echo "@@E2E error disk $id did not appear"
                ls -l /sys/block
                poweroff -f
            fi
            sleep 0.1
        done
        echo "@@E2E disk-ready $id $name $(cut -d' ' -f1 /proc/uptime)"
    done
}

# What Linux itself reports about each block device, for the log.
show_file() {
    [ -r "$2" ] || return 0
    echo "@@E2E-INFO   $1 [$(tr -c ' -~' . <"$2")] hex:$(xxd -p "$2" | tr -d '\n')"
}
inventory() {
    for b in /sys/block/*; do
        [ -e "$b" ] || continue
        n=${b##*/}
        echo "@@E2E-INFO $n -> $(readlink -f "$b") size=$(cat "$b/size")"
        show_file serial "$b/serial"
        show_file device/serial "$b/device/serial"
        show_file device/vpd_pg80 "$b/device/vpd_pg80"
        show_file device/vendor "$b/device/vendor"
        show_file device/model "$b/device/model"
        [ -d "$b/device/scsi_generic" ] &&
            echo "@@E2E-INFO   scsi_generic $(ls "$b/device/scsi_generic")"
        d=$(readlink -f "$b/device")
        while [ -n "$d" ] && [ "$d" != /sys/devices ] && [ "$d" != / ]; do
            if [ -r "$d/idVendor" ]; then
                show_file usb-serial "$d/serial"
                show_file usb-product "$d/product"
                break
            fi
            d=${d%/*}
        done
    done
}

list_disks() {
    line=""
    for b in /sys/block/*; do
        [ -e "$b" ] || continue
        line="$line ${b##*/}=$(readlink -f "$b")"
    done
    echo "@@E2E disks $1$line"
}

b64() { base64 "$1" | tr -d '\n'; }

# Runs a command as the unprivileged user e2e (uid and gid 1000, no groups).
as_user() { su -s /bin/sh -c 'exec "$0" "$@"' -- e2e "$@"; }

seconds_up() { cut -d' ' -f1 /proc/uptime; }

run_hwid() {  # run_hwid STEP MODE
    rm -f /tmp/out /tmp/err
    start=$(seconds_up)
    if [ "$2" = root ]; then
        timeout -s KILL "$HWID_KILL_AFTER" /e2e/hwid >/tmp/out 2>/tmp/err
    else
        as_user timeout -s KILL "$HWID_KILL_AFTER" /e2e/hwid >/tmp/out 2>/tmp/err
    fi
    rc=$?
    elapsed=$(awk -v a="$start" -v b="$(seconds_up)" 'BEGIN { printf "%.2f", b - a }')
    echo "@@E2E hwid $1 $2 $rc $(b64 /tmp/out) $(b64 /tmp/err) $elapsed"
}

# Proves that the unprivileged run cannot open the drive nodes, so that it
# exercises the path that needs no rights.
probe_user_access() {
    for b in /sys/block/*; do
        [ -b "/dev/${b##*/}" ] || continue
        if as_user sh -c "exec 3</dev/${b##*/}" 2>/dev/null; then
            echo "@@E2E user-can-open $1 ${b##*/}"
        fi
    done
}

remove_disk() {  # remove_disk ID
    name=$(disk_name "$1") || { echo "@@E2E error no disk $1 to remove"; return; }
    if [ -w "/sys/block/$name/device/delete" ]; then
        echo 1 >"/sys/block/$name/device/delete"
    else
        d=$(readlink -f "/sys/block/$name/device")
        while [ ! -w "$d/remove" ] && [ "$d" != /sys/devices ]; do d=${d%/*}; done
        echo 1 >"$d/remove"
    fi
    i=0
    while [ -e "/sys/block/$name" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    if [ -e "/sys/block/$name" ]; then
        echo "@@E2E error $name did not go away"
    else
        echo "@@E2E removed $1 $name"
    fi
}

derive_all() {
    for t in /e2e/texts/*; do
        /e2e/hwid-derive "$(cat "$t")" >/tmp/derived 2>/tmp/err
        echo "@@E2E derive ${t##*/} $? $(b64 /tmp/derived) $(b64 /tmp/err)"
    done
}
"""


def steps_script(case):
    lines = ["#!/bin/sh", "export PATH=/bin:/sbin:/usr/bin:/usr/sbin",
             "HWID_KILL_AFTER=%d" % HWID_KILL_AFTER,
             ". /e2e/lib.sh",
             "echo \"@@E2E user-id $(as_user id -u):$(as_user id -g):$(as_user id -G)\"",
             "echo \"@@E2E mountinfo $(awk '$5 == \"/\"' /proc/self/mountinfo | tr ' ' '|')\""]
    lines += case.setup
    lines += ["inventory", "derive_all"]
    step = 0
    for s in case.steps:
        if s[0] == "check":
            step += 1
            lines += ["list_disks %d" % step, "probe_user_access %d" % step,
                      "run_hwid %d root" % step, "run_hwid %d user" % step]
        elif s[0] == "remove":
            lines.append("remove_disk %s" % s[1])
        else:
            lines.append(s[1])
    # The kernel stays quiet on the console so that its lines never cut into
    # the markers; its warnings come here, after the checks.
    lines += ["dmesg -r | grep '^<[0-4]>' | sed 's/^/@@E2E-DMESG /'",
              'echo "@@E2E done $(cut -d\' \' -f1 /proc/uptime)"', "sync", "poweroff -f"]
    return "\n".join(lines) + "\n"


def case_texts(case):
    """Every serial text the case can expect, and the empty one."""
    texts = [""]
    for t in [t for d in case.disks for t in (d.root_text, d.user_text, d.serial)] + case.decoys:
        if t not in texts:
            texts.append(t)
    return texts


def guest_tree(case, hwid, derive):
    """The files both stages need: (path, data, mode)."""
    files = []
    with open(find_tool("busybox", "busybox-static"), "rb") as f:
        files.append(("bin/busybox", f.read(), 0o755))
    with open(hwid, "rb") as f:
        files.append(("e2e/hwid", f.read(), 0o755))
    with open(derive, "rb") as f:
        files.append(("e2e/hwid-derive", f.read(), 0o755))
    files.append(("e2e/lib.sh", LIB.encode(), 0o644))
    files.append(("etc/passwd", PASSWD, 0o644))
    files.append(("etc/group", GROUP, 0o644))
    files.append(("e2e/steps.sh", steps_script(case).encode(), 0o755))
    for i, text in enumerate(case_texts(case)):
        files.append(("e2e/texts/%02d" % i, text.encode(), 0o644))
    for d in case.disks:
        files.append(("e2e/disks/" + d.id, d.locator.encode(), 0o644))
    return files


def build_initramfs(case, hwid, derive, modules, path):
    cpio = Cpio()
    dirs = {"bin", "sbin", "proc", "sys", "dev", "tmp", "lib", "lib/modules", "e2e",
            "e2e/texts", "e2e/disks", "newroot"}
    files = guest_tree(case, hwid, derive)
    for f in files:
        dirs.add(os.path.dirname(f[0]))
    for d in sorted(dirs):
        cpio.dir(d)
    for name, data, mode in files:
        cpio.file(name, data, mode)
    cpio.symlink("bin/sh", "busybox")
    listing = []
    for ko, params in modules:
        base = os.path.basename(ko)
        with open(ko, "rb") as f:
            cpio.file("lib/modules/" + base, f.read())
        listing.append(" ".join([base] + params))
    cpio.file("e2e/modules", ("\n".join(listing) + "\n").encode())
    sysdisk = ""
    if case.system_disk:
        sysdisk = "SYSTEM_DISK=%s\n" % case.system_disk
    cpio.file("init", INIT.replace("/bin/busybox sh\n", "/bin/busybox sh\n" + sysdisk, 1).encode(), 0o755)
    with open(path, "wb") as f:
        f.write(cpio.bytes())


def build_system_image(case, hwid, derive, path, size_mib):
    """A raw disk with an MBR and one Linux partition from 1 MiB on that holds
    an ext4 file system with the second stage."""
    mke2fs = find_tool("mke2fs", "e2fsprogs")
    with tempfile.TemporaryDirectory() as staging:
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "tmp", "etc", "e2e/texts", "e2e/disks"):
            os.makedirs(os.path.join(staging, d), exist_ok=True)
        for name, data, mode in guest_tree(case, hwid, derive):
            full = os.path.join(staging, name)
            with open(full, "wb") as f:
                f.write(data)
            os.chmod(full, mode)
        os.symlink("busybox", os.path.join(staging, "bin/sh"))
        for applet in subprocess.run([find_tool("busybox", "busybox-static"), "--list-full"], capture_output=True,
                                     text=True, check=True).stdout.split():
            link = os.path.join(staging, applet)
            if not os.path.lexists(link):
                os.symlink("/bin/busybox", link)
        part_start = 2048  # sectors
        part_sectors = size_mib * 2048 - part_start
        with open(path, "wb") as f:
            f.truncate(size_mib * 1024 * 1024)
        proc = subprocess.run([mke2fs, "-q", "-F", "-t", "ext4", "-E", "offset=%d" % (part_start * 512),
                               "-d", staging, path, "%dk" % (part_sectors // 2)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            raise HarnessError("mke2fs: " + proc.stderr.strip())
    entry = struct.pack("<B3sB3sII", 0, b"\xff\xff\xfe", 0x83, b"\xff\xff\xfe", part_start, part_sectors)
    with open(path, "r+b") as f:
        f.seek(446)
        f.write(entry + b"\0" * 48 + b"\x55\xaa")


def qemu_command(case, vmlinuz, initrd, images):
    args = ["qemu-system-x86_64", "-machine", case.machine, "-accel", "tcg", "-cpu", "qemu64",
            "-smp", "1", "-m", "512", "-nodefaults", "-no-reboot", "-display", "none",
            "-serial", "stdio", "-monitor", "none",
            "-kernel", vmlinuz, "-initrd", initrd,
            # no_timer_check: on a loaded host the emulated timer can miss the
            # kernel's early check, which then panics ("IO-APIC + timer doesn't work").
            "-append", "console=ttyS0 rdinit=/init panic=-1 loglevel=1 mitigations=off "
                       "no_timer_check"]
    args += case.qemu  # controllers first: the disks name their buses
    for d in case.disks:
        args += [a.replace("{image}", images[d.id]) for a in d.qemu]
    return args


# ---------------------------------------------------------------------------
# Reading the console.


def parse_console(text):
    events = []
    for line in text.splitlines():
        line = line.strip("\r")
        at = line.find("@@E2E ")
        if at >= 0:
            events.append(line[at + len("@@E2E "):].split(" "))
    return events


def drive0_by_rule(listing):
    """Applies the drive-0 rule for a system without a disk root to the
    (name, path) pairs Linux listed; None when no disk qualifies."""
    candidates = sorted(n for n, _ in listing if not n.startswith(SKIPPED_PREFIXES))
    return candidates[0] if candidates else None


def evaluate(case, events):
    """Returns (failures, report lines)."""
    texts = case_texts(case)
    derived = {}
    failures, report = [], []
    by_name = {}
    for ev in events:
        if ev[0] == "derive":
            idx = int(ev[1])
            rc = int(ev[2])
            out = base64.b64decode(ev[3]) if len(ev) > 3 and ev[3] else b""
            if rc != 0 or not re.fullmatch(rb"[0-9A-F]{64}", out):
                raise HarnessError("hwid-derive %r failed in the guest: rc=%d out=%r" %
                                   (texts[idx], rc, out))
            derived[texts[idx]] = out.decode()
        elif ev[0] in ("error",):
            failures.append("guest: " + " ".join(ev[1:]))
        elif ev[0] == "insmod-failed":
            report.append("note: insmod %s failed: %s" % (ev[1], " ".join(ev[2:])))
    if len(set(derived.values())) != len(derived):
        raise HarnessError("two serial texts of this case give the same identifier: %r" % derived)

    listing = {}
    user_open = {}
    seen_checks = 0
    user_checked = False
    for ev in events:
        if ev[0] == "disks":
            step = int(ev[1])
            listing[step] = [tuple(x.split("=", 1)) for x in ev[2:]]
        elif ev[0] == "user-id":
            if ev[1:] != ["1000:1000:1000"]:
                failures.append("the unprivileged runs did not run as uid 1000 without groups: %s"
                                % " ".join(ev[1:]))
            user_checked = True
        elif ev[0] == "user-can-open":
            user_open.setdefault(int(ev[1]), []).append(ev[2])
        elif ev[0] == "hwid":
            step, mode, rc = int(ev[1]), ev[2], int(ev[3])
            seen_checks += 1
            out = base64.b64decode(ev[4]) if len(ev) > 4 and ev[4] else b""
            err = base64.b64decode(ev[5]) if len(ev) > 5 and ev[5] else b""
            seconds = float(ev[6])
            disks = listing.get(step)
            if disks is None:
                raise HarnessError("no disk list before check %d" % step)
            if case.system_disk:
                disk = next(d for d in case.disks if d.id == case.system_disk)
                name = next((n for n, p in disks if re.search(disk.locator, p)), "?")
            else:
                name = drive0_by_rule(disks)
                disk = None
                if name is not None:
                    path = dict(disks)[name]
                    matches = [d for d in case.disks if re.search(d.locator, path)]
                    if len(matches) != 1:
                        raise HarnessError("check %d: drive 0 would be %s (%s), which matches %d "
                                           "disks of the case" % (step, name, path, len(matches)))
                    disk = matches[0]
            expected_text = "" if disk is None else (disk.root_text if mode == "root" else disk.user_text)
            expected = derived[expected_text]
            got = out.decode(errors="replace")
            where = "%s as %s: drive 0 = %s%s, expected serial %r, %.2f s" % (
                "check %d" % step, mode, name or "(none)",
                " (%s)" % disk.id if disk else "", expected_text, seconds)
            problems = []
            if rc != 0:
                problems.append("exit status %d" % rc)
            if case.time_limit is not None and seconds > case.time_limit:
                problems.append("the run took %.2f s, more than the %.1f s allowed" %
                                (seconds, case.time_limit))
            if not re.fullmatch(rb"[0-9A-F]{64}", out):
                problems.append("output is not 64 uppercase hex digits without a line end: %r" % out)
            if got != expected:
                known = [t for t, v in derived.items() if v == got]
                problems.append("printed %s, expected %s%s" % (
                    got, expected,
                    " (that is the identifier of serial %r)" % known[0] if known else ""))
            if mode == "user" and step in user_open:
                problems.append("the unprivileged user could open %s, so this run does not "
                                "test the path without rights" % ",".join(user_open[step]))
            if err:
                report.append("note: %s: stderr %r" % (where, err))
            if problems:
                failures.append(where + ": " + "; ".join(problems))
                report.append("FAIL " + where + ": " + "; ".join(problems))
            else:
                report.append("ok   " + where)
    expected_checks = 2 * sum(1 for s in case.steps if s[0] == "check")
    if seen_checks != expected_checks:
        failures.append("the guest ran %d of %d checks" % (seen_checks, expected_checks))
    if not user_checked:
        failures.append("the guest did not report the unprivileged user's ids")
    if not any(ev[0] == "done" for ev in events):
        failures.append("the guest did not reach the end of its script")
    return failures, report


# ---------------------------------------------------------------------------


def run_case(case, args, kernel):
    kroot, release, vmlinuz, package = kernel
    work = os.path.join(args.work, case.name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    modules = resolve_modules(kroot, release, case.modules)
    initrd = os.path.join(work, "initramfs.cpio")
    build_initramfs(case, args.hwid, args.derive, modules, initrd)
    images = {}
    for d in case.disks:
        if not d.qemu:
            continue  # made by the guest
        images[d.id] = os.path.join(work, d.id + ".img")
        if d.system_image:
            build_system_image(case, args.hwid, args.derive, images[d.id], d.size_mib)
        else:
            with open(images[d.id], "wb") as f:
                f.truncate(d.size_mib * 1024 * 1024)
    cmd = qemu_command(case, vmlinuz, initrd, images)
    with open(os.path.join(work, "qemu-command"), "w") as f:
        f.write(" ".join(shell_quote(a) for a in cmd) + "\n")
    log_path = os.path.join(work, "console.log")
    print("== %s: %s" % (case.name, case.summary), flush=True)
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=args.timeout)
        console = proc.stdout.decode("utf-8", errors="replace")
        status = proc.returncode
    except subprocess.TimeoutExpired as e:
        console = (e.stdout or b"").decode("utf-8", errors="replace")
        status = "timeout"
    elapsed = time.monotonic() - start
    with open(log_path, "w") as f:
        f.write(console)
    events = parse_console(console)
    try:
        if status == "timeout":
            raise HarnessError("QEMU did not stop within %d s" % args.timeout)
        if status != 0:
            raise HarnessError("QEMU exited with status %s" % status)
        try:
            failures, report = evaluate(case, events)
        except (ValueError, IndexError, KeyError) as e:  # a garbled marker line
            raise HarnessError("cannot read the guest's report: %r" % e)
    except HarnessError as e:
        print(console[-6000:])
        print("ERROR %s: %s (console log: %s)" % (case.name, e, log_path))
        return 2, elapsed
    for line in report:
        print("  " + line)
    for line in console.splitlines():
        if "@@E2E-INFO" in line:
            print("  " + line[line.find("@@E2E-INFO") + len("@@E2E-INFO "):])
    result = 1 if failures else 0
    if failures:
        print("--- console of %s (also in %s) ---" % (case.name, log_path))
        print(console[-12000:])
    print("%s %s in %.1f s (%s, %s)" % ("FAILED" if failures else "PASSED", case.name, elapsed,
                                       package, case.machine), flush=True)
    return result, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", help="folder that prepare.sh filled")
    parser.add_argument("--work", help="folder for initramfs, disk images and console logs")
    parser.add_argument("--hwid", help="the static hwid binary")
    parser.add_argument("--derive", help="the static hwid-derive binary")
    parser.add_argument("--timeout", type=int, default=240, help="seconds one boot may take")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    if args.list:
        for c in CASES:
            print("%-8s %s" % (c.name, c.summary))
        return 0
    if not (args.cache and args.work and args.hwid and args.derive and args.cases):
        parser.error("--cache, --work, --hwid, --derive and at least one case are needed")
    known = {c.name: c for c in CASES}
    unknown = [n for n in args.cases if n not in known]
    if unknown:
        parser.error("unknown case(s): %s; --list shows them" % ", ".join(unknown))
    try:
        for b in (args.hwid, args.derive, find_tool("busybox", "busybox-static")):
            check_static(b)
        if not shutil.which("qemu-system-x86_64"):
            raise HarnessError("qemu-system-x86_64 is missing (apt-get install qemu-system-x86)")
        kernel = kernel_paths(args.cache)
    except (HarnessError, OSError) as e:
        print("ERROR: %s" % e)
        return 2
    worst, total = 0, 0.0
    for name in args.cases:
        try:
            result, elapsed = run_case(known[name], args, kernel)
        except (HarnessError, OSError, subprocess.SubprocessError) as e:
            print("ERROR %s: %s" % (name, e))
            result, elapsed = 2, 0.0
        worst = max(worst, result)
        total += elapsed
    if len(args.cases) > 1:
        print("boots took %.1f s in all" % total)
    return worst


if __name__ == "__main__":
    sys.exit(main())
