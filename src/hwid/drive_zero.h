// Which disk the back end of this build treats as physical drive 0, and why;
// for hwid-explain.
#pragma once

#include <cstddef>

namespace hwid {

struct DriveZeroDescription {
    bool found;
    char path[256];    // the device path, or the name drive 0 goes by
    char bus[32];      // "ata", "nvme", "virtio", "scsi", "usb", or empty when unknown
    char reason[160];  // why this disk
};

void DescribeDriveZero(DriveZeroDescription& description);

}  // namespace hwid
