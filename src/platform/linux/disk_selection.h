// Which Linux disk is physical drive 0: the whole disk under the root file
// system, found through the root's device number or /proc/self/mountinfo and
// sysfs (partitions, device-mapper and md members followed down to the first
// whole disk). When the root is on no disk (initramfs, network, overlay, a
// container), the first whole disk in byte order of its name under
// <sysfs>/block, skipping loop, ram, zram, nbd, md, dm, sr and fd devices and
// hidden disks (NVMe per-path nodes). A root that ends on one of the skipped
// kinds counts as no root disk.
#pragma once

#include "platform/linux/sysfs.h"

namespace hwid::linux_backend {

// The kernel names that never stand for drive 0.
bool IsSkippedDiskName(const char* name);

// Follows the sysfs entry of a block device (a partition, a dm or md device,
// or a whole disk; links allowed) down to the first underlying whole disk,
// the first member in name order at each level. False when it ends nowhere
// or on a skipped kind.
bool ResolveWholeDisk(const char* sysfsRoot, const char* blockEntry, BlockDisk& disk);

// The whole disk under the root file system: by the device number of
// rootPath ("/"; empty to skip this step) through <sysfs>/dev/block, else from
// the mountinfo file (its last "/" mount) by its device number, else by the
// mount source when it names a node under /dev (btrfs and others report an
// anonymous device number, major 0).
bool FindRootDisk(const char* sysfsRoot, const char* devRoot, const char* rootPath,
                  const char* mountinfoPath, BlockDisk& disk);

// The first whole disk in name order that is not skipped.
bool FindFirstDisk(const char* sysfsRoot, BlockDisk& disk);

// FindRootDisk, else FindFirstDisk; underRoot, when given, tells which.
bool SelectDriveZero(const char* sysfsRoot, const char* devRoot, const char* rootPath,
                     const char* mountinfoPath, BlockDisk& disk, bool* underRoot = nullptr);

}  // namespace hwid::linux_backend
