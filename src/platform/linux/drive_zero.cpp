// Which Linux disk stands for drive 0, told for hwid-explain with the same
// selection the back end uses.
#include <cstdio>
#include <cstring>

#include "hwid/drive_zero.h"
#include "platform/linux/disk_info.h"
#include "platform/linux/disk_selection.h"

namespace hwid {
namespace {

const char* BusName(const linux_backend::DiskInfo& info) {
    if (info.usbDir.text[0] != '\0') {
        return "usb";
    }
    switch (info.bus) {
        case linux_backend::DiskBus::kNvme:
            return "nvme";
        case linux_backend::DiskBus::kVirtio:
            return "virtio";
        case linux_backend::DiskBus::kScsi:
            return info.libata ? "ata" : "scsi";
        case linux_backend::DiskBus::kOther:
            break;
    }
    return "";
}

}  // namespace

void DescribeDriveZero(DriveZeroDescription& description) {
    std::memset(&description, 0, sizeof description);
    constexpr const char* kSysfs = "/sys";
    constexpr const char* kDev = "/dev";
    linux_backend::BlockDisk disk{};
    const bool underRoot =
        linux_backend::FindRootDisk(kSysfs, kDev, "/", "/proc/self/mountinfo", disk);
    if (!underRoot && !linux_backend::FindFirstDisk(kSysfs, disk)) {
        std::snprintf(description.reason, sizeof description.reason,
                      "no whole disk under %s/block outside loop, ram, zram, nbd, md, dm, sr, fd",
                      kSysfs);
        return;
    }
    description.found = true;
    std::snprintf(description.path, sizeof description.path, "%s/%s", kDev, disk.name.text);
    linux_backend::DiskInfo info{};
    if (linux_backend::ReadDiskInfo(disk, info)) {
        std::snprintf(description.bus, sizeof description.bus, "%s", BusName(info));
    }
    std::snprintf(description.reason, sizeof description.reason, "%s",
                  underRoot ? "the whole disk under the root file system"
                            : "no disk holds the root file system: the first whole disk by name");
}

}  // namespace hwid
