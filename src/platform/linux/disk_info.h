// What sysfs says about one whole disk: its bus, whether it sits behind
// libata, and the strings and numbers that its storage device descriptor and
// geometry are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hwid/windows_types.h"
#include "platform/linux/sysfs.h"

namespace hwid::linux_backend {

enum class DiskBus { kScsi, kNvme, kVirtio, kOther };

struct DiskInfo {
    Name name;
    Path blockDir;   // the real directory that <sysfs>/block/<name> leads to
    Path deviceDir;  // where <blockDir>/device leads; empty when it leads nowhere
    Path usbDir;     // the USB device above deviceDir; empty when none
    DiskBus bus = DiskBus::kOther;
    bool libata = false;  // a SCSI device that libata translates to ATA
    std::uint8_t scsiType = 0;
    bool removable = false;
};

// Reads the facts about the disk; false when its sysfs entry is gone.
bool ReadDiskInfo(const BlockDisk& disk, DiskInfo& info);

// The bit of bIDEDeviceMap for the disk: 0x01 for a disk, 0x10 for a packet
// device (libata's ATAPI devices are SCSI types other than disk and RBC).
std::uint8_t IdeDeviceMapBit(const DiskInfo& info);

inline constexpr std::size_t kStringSize = 256;

// The four strings of a descriptor, zero-terminated; empty when the device
// does not report one.
struct DescriptorStrings {
    char vendor[kStringSize];
    char product[kStringSize];
    char revision[kStringSize];
    char serial[kStringSize];
};

// The serial number of a unit serial number page (VPD 0x80: 4-byte header,
// then the page length's bytes), cut at its first zero byte. False, with an
// empty text, for a page that is no 0x80 page, is shorter than its header,
// or whose serial does not fit.
bool UnitSerialFromPage(std::span<const std::uint8_t> page, std::span<char, kStringSize> serial);

// Gathers the strings from sysfs: vendor, model and revision attributes; the
// serial from the NVMe controller, the virtio-blk disk, the USB device, the
// SCSI unit serial number page (sysfs, or INQUIRY on fd when fd >= 0).
void CollectDescriptorStrings(const DiskInfo& info, int fd, DescriptorStrings& strings);

struct DescriptorFields {
    std::uint8_t deviceType = 0;
    bool removable = false;
    STORAGE_BUS_TYPE busType = BusTypeUnknown;
};

DescriptorFields DescriptorFieldsOf(const DiskInfo& info);

// Upper bound of a descriptor with four strings at their longest.
inline constexpr std::size_t kMaxDescriptorSize =
    sizeof(STORAGE_DEVICE_DESCRIPTOR) + 4 * kStringSize;

// Lays out a STORAGE_DEVICE_DESCRIPTOR: the 40-byte header, then vendor,
// product, revision and serial, each zero-terminated, offset 0 for an empty
// one; Version is the header's size and Size the whole descriptor's. When out
// is smaller, the first out.size() bytes are written, Size still the whole
// size, and the offset of every string that does not fit entirely is 0. Less
// than the 8 bytes of Version and Size is ERROR_INSUFFICIENT_BUFFER. Sets
// written to the bytes written; returns ERROR_SUCCESS or the error.
DWORD BuildDeviceDescriptor(const DescriptorStrings& strings, const DescriptorFields& fields,
                            std::span<std::uint8_t> out, DWORD& written);

// The disk's size in bytes and its logical block size, from the sysfs size
// (512-byte sectors) and queue/logical_block_size (512 when missing or odd).
// False when the size is unknown or 0.
bool ReadDiskSize(const DiskInfo& info, std::uint64_t& bytes, std::uint32_t& blockSize);

// A DISK_GEOMETRY_EX with a conventional geometry of 255 heads and 63 sectors
// a track; the first 32 bytes (geometry and size) into out, which must hold
// them.
void BuildGeometry(std::uint64_t bytes, std::uint32_t blockSize, bool removable,
                   std::span<std::uint8_t, 32> out);

}  // namespace hwid::linux_backend
