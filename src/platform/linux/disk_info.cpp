#include "platform/linux/disk_info.h"

#include <algorithm>
#include <cstring>

#include "platform/linux/ata.h"

namespace hwid::linux_backend {
namespace {

constexpr std::uint8_t kScsiTypeDisk = 0x00;
constexpr std::uint8_t kScsiTypeRbc = 0x0E;
// A USB device sits a few levels above its SCSI device; this stops the walk
// long before the root.
constexpr int kMaxUsbWalk = 24;

void PutLe32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void PutLe64(std::span<std::uint8_t> out, std::size_t at, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Reads <directory>/<attribute> as text into out; 0 when missing or empty.
std::size_t ReadAttribute(const char* directory, const char* attribute,
                          std::span<char, kStringSize> out) {
    out[0] = '\0';
    Path path;
    if (directory[0] == '\0' || !FormatPath(path.text, "%s/%s", directory, attribute)) {
        return 0;
    }
    return ReadTextAttribute(path.text, out);
}

// "ata" and digits: the port of a libata host in the device's path.
bool IsAtaPortComponent(const char* component, std::size_t length) {
    if (length < 4 || std::strncmp(component, "ata", 3) != 0) {
        return false;
    }
    for (std::size_t i = 3; i < length; ++i) {
        if (component[i] < '0' || component[i] > '9') {
            return false;
        }
    }
    return true;
}

bool PathHasAtaPort(const char* path) {
    const char* component = path;
    while (*component != '\0') {
        const char* end = std::strchr(component, '/');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
        if (IsAtaPortComponent(component, length)) {
            return true;
        }
        if (end == nullptr) {
            break;
        }
        component = end + 1;
    }
    return false;
}

// libata's SCSI translation reports the vendor "ATA", padded with blanks.
bool IsAtaVendor(const char* vendor) {
    if (std::strncmp(vendor, "ATA", 3) != 0) {
        return false;
    }
    for (const char* c = vendor + 3; *c != '\0'; ++c) {
        if (*c != ' ') {
            return false;
        }
    }
    return true;
}

bool FindUsbDevice(const char* deviceDir, Path& usbDir) {
    usbDir.text[0] = '\0';
    Path walk;
    if (!FormatPath(walk.text, "%s", deviceDir)) {
        return false;
    }
    for (int level = 0; level < kMaxUsbWalk && StripLastComponent(walk); ++level) {
        Path probe;
        if (FormatPath(probe.text, "%s/idVendor", walk.text) && Exists(probe.text)) {
            return FormatPath(usbDir.text, "%s", walk.text);
        }
    }
    return false;
}

DiskBus BusOf(const char* deviceDir) {
    Path link;
    Name subsystem;
    if (!FormatPath(link.text, "%s/subsystem", deviceDir) || !ReadLinkName(link.text, subsystem)) {
        return DiskBus::kOther;
    }
    if (std::strcmp(subsystem.text, "scsi") == 0) {
        return DiskBus::kScsi;
    }
    // The controller, or the subsystem of a multipath namespace.
    if (std::strcmp(subsystem.text, "nvme") == 0 ||
        std::strcmp(subsystem.text, "nvme-subsystem") == 0) {
        return DiskBus::kNvme;
    }
    if (std::strcmp(subsystem.text, "virtio") == 0) {
        return DiskBus::kVirtio;
    }
    return DiskBus::kOther;
}

SerialSource SerialFromScsi(const DiskInfo& info, int fd, DeviceRequests& requests,
                            std::span<char, kStringSize> serial) {
    std::uint8_t page[4 + 255 + 1];
    Path path;
    if (FormatPath(path.text, "%s/vpd_pg80", info.deviceDir.text)) {
        const ReadResult result = ReadFileBounded(path.text, page);
        if (result.status == ReadStatus::kOk &&
            UnitSerialFromPage(std::span(page, result.length), serial)) {
            return SerialSource::kUnitSerialPage;
        }
    }
    if (fd >= 0 && info.usbDir.text[0] == '\0') {
        const std::size_t length =
            InquireUnitSerialPage(fd, info.deviceDir.text, std::span(page, 4 + 255), requests);
        UnitSerialFromPage(std::span(page, length), serial);
        return SerialSource::kInquiry;
    }
    return SerialSource::kNone;
}

// Out of line, as ReadScsiFacts: their paths take no stack on the common way.
[[gnu::noinline]] bool ResolveDeviceLink(DiskInfo& info) {
    Path link;
    if (!FormatPath(link.text, "%s/device", info.blockDir.text) ||
        !ResolveSysfsLink(link.text, info.deviceDir)) {
        info.deviceDir.text[0] = '\0';
        return false;
    }
    return true;
}

[[gnu::noinline]] void ReadScsiFacts(DiskInfo& info) {
    char vendor[kStringSize];
    ReadAttribute(info.deviceDir.text, "vendor", vendor);
    const bool onAtaPort = PathHasAtaPort(info.deviceDir.text);
    info.libata = onAtaPort || IsAtaVendor(vendor);
    Path typePath;
    std::uint64_t type = 0;
    if (FormatPath(typePath.text, "%s/type", info.deviceDir.text) &&
        ReadDecimalAttribute(typePath.text, type) && type <= 0x1F) {
        info.scsiType = static_cast<std::uint8_t>(type);
    }
    // A disk on a libata port has no USB device above it; a USB bridge that
    // passes ATA vendor text through has.
    if (!onAtaPort) {
        FindUsbDevice(info.deviceDir.text, info.usbDir);
    }
}

}  // namespace

bool ReadDiskInfo(const BlockDisk& disk, DiskInfo& info) {
    // Field by field: the paths are texts, and clearing their 4 KB each would
    // be most of what a run costs.
    info.name.text[0] = '\0';
    info.blockDir.text[0] = '\0';
    info.deviceDir.text[0] = '\0';
    info.usbDir.text[0] = '\0';
    info.bus = DiskBus::kOther;
    info.libata = false;
    info.scsiType = 0;
    info.removable = false;
    if (!FormatPath(info.name.text, "%s", disk.name.text) ||
        !FormatPath(info.blockDir.text, "%s", disk.dir.text)) {
        return false;
    }
    // The link's answer also tells that the disk is still there; only a disk
    // without one (a virtual device) needs to be looked for.
    if (disk.device.text[0] != '\0') {
        std::memcpy(info.deviceDir.text, disk.device.text, sizeof info.deviceDir.text);
    } else if (!ResolveDeviceLink(info) && !IsDirectory(info.blockDir.text)) {
        return false;
    }
    char flag[kStringSize];
    info.removable =
        ReadAttribute(info.blockDir.text, "removable", flag) > 0 && std::strcmp(flag, "1") == 0;
    if (info.deviceDir.text[0] == '\0') {
        return true;
    }
    info.bus = BusOf(info.deviceDir.text);
    if (info.bus == DiskBus::kScsi) {
        ReadScsiFacts(info);
    }
    return true;
}

std::uint8_t IdeDeviceMapBit(const DiskInfo& info) {
    return info.scsiType == kScsiTypeDisk || info.scsiType == kScsiTypeRbc ? 0x01 : 0x10;
}

bool UnitSerialFromPage(std::span<const std::uint8_t> page, std::span<char, kStringSize> serial) {
    serial[0] = '\0';
    if (page.size() < 4 || page[1] != 0x80) {
        return false;
    }
    const std::size_t declared = static_cast<std::size_t>(page[2]) << 8 | page[3];
    const std::size_t length = std::min(declared, page.size() - 4);
    std::size_t n = 0;
    while (n < length && page[4 + n] != 0) {
        ++n;
    }
    if (n >= serial.size()) {
        return false;
    }
    std::memcpy(serial.data(), page.data() + 4, n);
    serial[n] = '\0';
    return true;
}

void CollectDescriptorStrings(const DiskInfo& info, int fd, DeviceRequests& requests,
                              DescriptorStrings& strings) {
    std::memset(&strings, 0, sizeof strings);
    const char* device = info.deviceDir.text;
    SerialSource source = SerialSource::kNone;
    switch (info.bus) {
        case DiskBus::kScsi:
            ReadAttribute(device, "vendor", strings.vendor);
            ReadAttribute(device, "model", strings.product);
            ReadAttribute(device, "rev", strings.revision);
            // USB storage is known by the USB device's serial number.
            source = SerialSource::kUsb;
            if (ReadAttribute(info.usbDir.text, "serial", strings.serial) == 0) {
                source = SerialFromScsi(info, fd, requests, strings.serial);
            }
            break;
        case DiskBus::kNvme:
            ReadAttribute(device, "model", strings.product);
            ReadAttribute(device, "firmware_rev", strings.revision);
            ReadAttribute(device, "serial", strings.serial);
            source = SerialSource::kDevice;
            break;
        case DiskBus::kVirtio:
            ReadAttribute(info.blockDir.text, "serial", strings.serial);
            source = SerialSource::kBlock;
            break;
        case DiskBus::kOther:
            ReadAttribute(device, "vendor", strings.vendor);
            ReadAttribute(device, "model", strings.product);
            ReadAttribute(device, "rev", strings.revision);
            source = SerialSource::kBlock;
            if (ReadAttribute(info.blockDir.text, "serial", strings.serial) == 0) {
                ReadAttribute(device, "serial", strings.serial);
                source = SerialSource::kDevice;
            }
            break;
    }
    strings.serialSource = strings.serial[0] != '\0' ? source : SerialSource::kNone;
}

DescriptorFields DescriptorFieldsOf(const DiskInfo& info) {
    DescriptorFields fields;
    fields.removable = info.removable;
    switch (info.bus) {
        case DiskBus::kScsi:
            fields.deviceType = info.scsiType;
            fields.busType = info.usbDir.text[0] != '\0' ? BusTypeUsb
                             : info.libata               ? BusTypeSata
                                                         : BusTypeScsi;
            break;
        case DiskBus::kNvme:
            fields.busType = BusTypeNvme;
            break;
        case DiskBus::kVirtio:
            // A paravirtual disk: no Windows bus describes it better.
            fields.busType = BusTypeVirtual;
            break;
        case DiskBus::kOther:
            fields.busType = BusTypeUnknown;
            break;
    }
    return fields;
}

DWORD BuildDeviceDescriptor(const DescriptorStrings& strings, const DescriptorFields& fields,
                            std::span<std::uint8_t> out, DWORD& written) {
    written = 0;
    constexpr std::size_t kHeader = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    // Version and Size: the least a caller must be able to take.
    constexpr std::size_t kMinimum = 8;
    if (out.size() < kMinimum) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::uint8_t whole[kMaxDescriptorSize] = {};
    const char* texts[] = {strings.vendor, strings.product, strings.revision, strings.serial};
    constexpr std::size_t kOffsetFields[] = {
        offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset),
        offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset),
        offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset),
        offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset)};
    std::size_t size = kHeader;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t length = strnlen(texts[i], kStringSize - 1);
        if (length == 0) {
            continue;
        }
        std::memcpy(whole + size, texts[i], length);
        whole[size + length] = 0;
        // The offset stays only if the string with its terminator reaches the caller.
        if (size + length + 1 <= out.size()) {
            PutLe32(whole, kOffsetFields[i], static_cast<std::uint32_t>(size));
        }
        size += length + 1;
    }
    PutLe32(whole, offsetof(STORAGE_DEVICE_DESCRIPTOR, Version), kHeader);
    PutLe32(whole, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size), static_cast<std::uint32_t>(size));
    whole[offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType)] = fields.deviceType;
    whole[offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)] = fields.removable ? 1 : 0;
    PutLe32(whole, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType),
            static_cast<std::uint32_t>(fields.busType));
    const std::size_t copied = std::min(size, out.size());
    std::memcpy(out.data(), whole, copied);
    written = static_cast<DWORD>(copied);
    return ERROR_SUCCESS;
}

bool ReadDiskSize(const DiskInfo& info, std::uint64_t& bytes, std::uint32_t& blockSize) {
    Path path;
    std::uint64_t sectors = 0;
    if (!FormatPath(path.text, "%s/size", info.blockDir.text) ||
        !ReadDecimalAttribute(path.text, sectors) || sectors == 0 ||
        sectors > UINT64_MAX / 512 / 2) {
        return false;
    }
    bytes = sectors * 512;  // sysfs counts 512-byte sectors whatever the device's block
    blockSize = 512;
    std::uint64_t logical = 0;
    if (FormatPath(path.text, "%s/queue/logical_block_size", info.blockDir.text) &&
        ReadDecimalAttribute(path.text, logical) && logical >= 512 && logical <= 65536 &&
        (logical & (logical - 1)) == 0) {
        blockSize = static_cast<std::uint32_t>(logical);
    }
    return true;
}

void BuildGeometry(std::uint64_t bytes, std::uint32_t blockSize, bool removable,
                   std::span<std::uint8_t, 32> out) {
    constexpr std::uint32_t kHeads = 255;
    constexpr std::uint32_t kSectorsPerTrack = 63;
    const std::uint64_t cylinders = bytes / (std::uint64_t{kHeads} * kSectorsPerTrack * blockSize);
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutLe64(out, offsetof(DISK_GEOMETRY, Cylinders), cylinders);
    PutLe32(out, offsetof(DISK_GEOMETRY, MediaType),
            static_cast<std::uint32_t>(removable ? RemovableMedia : FixedMedia));
    PutLe32(out, offsetof(DISK_GEOMETRY, TracksPerCylinder), kHeads);
    PutLe32(out, offsetof(DISK_GEOMETRY, SectorsPerTrack), kSectorsPerTrack);
    PutLe32(out, offsetof(DISK_GEOMETRY, BytesPerSector), blockSize);
    PutLe64(out, offsetof(DISK_GEOMETRY_EX, DiskSize), bytes);
}

}  // namespace hwid::linux_backend
