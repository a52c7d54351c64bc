// Shared by the Linux back end's tests: fixture disks of each kind on sysfs-
// like trees, the mount table line for the root, and the storage descriptor
// read back from the back end's reply.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/byte_order.h"
#include "hwid/disk_identity.h"
#include "platform/linux/ata.h"
#include "platform/linux/device_services.h"
#include "platform/linux/disk_info.h"
#include "platform/linux/disk_selection.h"
#include "platform/linux/errors.h"
#include "platform/linux/sysfs.h"
#include "support/disk_replies.h"
#include "support/fixture_tree.h"
#include "support/hex.h"

namespace hwid::linux_fixtures {

using test::Tree;
using test::UnitSerialPage;

constexpr char kDrive0[] = "\\\\.\\PhysicalDrive0";
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

using test::Tree;

// A mount table whose "/" is the given device number and source.
inline std::string RootMount(const std::string& number, const std::string& source = "/dev/root",
                             const std::string& type = "ext4") {
    return "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
           "22 27 0:21 / /sys rw,relatime - sysfs sysfs rw\n"
           "27 1 " +
           number + " / / rw,relatime shared:1 - " + type + " " + source + " rw\n" +
           "28 27 0:25 / /tmp rw - tmpfs tmpfs rw\n";
}

struct Descriptor {
    DWORD version = 0;
    DWORD size = 0;
    int deviceType = 0;
    int removable = 0;
    DWORD offsets[4] = {};
    std::string strings[4];  // vendor, product, revision, serial; "" for offset 0
    DWORD busType = 0;
};

// Reads a descriptor back, checking that every string lies inside the bytes
// written and ends there.
inline Descriptor ParseDescriptor(const std::vector<std::uint8_t>& bytes, DWORD written) {
    Descriptor d;
    d.version = LoadLittleEndian32(bytes, 0);
    d.size = LoadLittleEndian32(bytes, 4);
    d.deviceType = bytes[8];
    d.removable = bytes[10];
    d.busType = LoadLittleEndian32(bytes, 28);
    for (std::size_t i = 0; i < 4; ++i) {
        d.offsets[i] = LoadLittleEndian32(bytes, 12 + 4 * i);
        if (d.offsets[i] == 0) {
            continue;
        }
        EXPECT_GE(d.offsets[i], 40u);
        EXPECT_LT(d.offsets[i], written);
        const auto begin = bytes.begin() + d.offsets[i];
        const auto end = std::find(begin, bytes.begin() + written, std::uint8_t{0});
        EXPECT_NE(end, bytes.begin() + written) << "string " << i << " is not terminated";
        d.strings[i] = std::string(begin, end);
    }
    return d;
}

struct QueryResult {
    BOOL result = 0;
    DWORD error = 0;
    DWORD written = 0;
    std::vector<std::uint8_t> bytes;
};

constexpr std::uint8_t kGuard = 0xCD;

// Sends the standard device property query with an output of outSize bytes
// inside a larger guarded buffer.
inline QueryResult QueryDescriptor(LinuxDeviceServices& services, HANDLE handle, DWORD outSize,
                                   std::vector<std::uint8_t> query = std::vector<std::uint8_t>(12,
                                                                                               0)) {
    QueryResult r;
    r.bytes.assign(outSize + 64, kGuard);
    r.result = services.DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, query.data(),
                                        static_cast<DWORD>(query.size()), r.bytes.data(), outSize,
                                        &r.written, nullptr);
    r.error = r.result ? 0 : services.GetLastError();
    for (std::size_t i = outSize; i < r.bytes.size(); ++i) {
        EXPECT_EQ(r.bytes[i], kGuard) << "written past the output at " << i;
    }
    return r;
}

inline Descriptor DescriptorOf(const Tree& tree) {
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    const QueryResult r = QueryDescriptor(services, handle, 10000);
    EXPECT_EQ(r.result, 1) << "error " << r.error;
    EXPECT_EQ(r.written, LoadLittleEndian32(r.bytes, 4));
    services.CloseHandle(handle);
    return ParseDescriptor(r.bytes, r.written);
}

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kUsbPath[] = "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0";

struct DescriptorCase {
    const char* name;
    void (*build)(const Tree&);
    const char* vendor;
    const char* product;
    const char* revision;
    const char* serial;
    STORAGE_BUS_TYPE bus;
};

inline void BuildNvme(const Tree& t) {
    t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    t.File("sys/devices/pci1/nvme/nvme0/serial", "S4EWNX0R123456\n");
    t.File("sys/devices/pci1/nvme/nvme0/model", "Samsung SSD 970 EVO Plus 1TB\n");
    t.File("sys/devices/pci1/nvme/nvme0/firmware_rev", "2B2QEXM7\n");
}
inline void BuildNvmeMultipath(const Tree& t) {
    t.Disk("nvme0n1", "virtual/nvme-subsystem/nvme-subsys0", "nvme-subsystem", "259:0");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/serial", "PHLJ123400AB1P0\n");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/model", "INTEL SSDPEKNW010T8\n");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/firmware_rev", "004C\n");
}
inline void BuildVirtio(const Tree& t) {
    const std::string block = t.Disk("vda", "pci0/virtio1", "virtio", "254:0");
    t.File(block + "/serial", "1136632498710136");  // virtio-blk shows it without a line feed
    t.File("sys/devices/pci0/virtio1/vendor", "0x1af4\n");
}
inline void BuildSata(const Tree& t) {
    t.Disk("sda", kAtaPath, "scsi", "8:0");
    const std::string dev = std::string("sys/devices/") + kAtaPath;
    t.File(dev + "/vendor", "ATA     \n");
    t.File(dev + "/model", "QEMU HARDDISK   \n");
    t.File(dev + "/rev", "2.5+\n");
    t.File(dev + "/type", "0\n");
    t.File(dev + "/vpd_pg80", UnitSerialPage("      SN-SATA-0001  "));
}
inline void BuildScsi(const Tree& t) {
    const std::string path = "pci0/virtio2/host0/target0:0:0/0:0:0:0";
    t.Disk("sda", path, "scsi", "8:0");
    t.File("sys/devices/" + path + "/vendor", "QEMU    \n");
    t.File("sys/devices/" + path + "/model", "QEMU HARDDISK   \n");
    t.File("sys/devices/" + path + "/rev", "2.5+\n");
    // A page that says it is longer than the file: what is there counts.
    t.File("sys/devices/" + path + "/vpd_pg80", std::string("\0\x80\0\x40SCSI0001", 12));
}
inline void BuildUsb(const Tree& t) {
    t.Disk("sda", kUsbPath, "scsi", "8:0");
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
    t.File("sys/devices/pci0/usb1/1-1/serial", "4C530001230101117371\n");
    const std::string dev = std::string("sys/devices/") + kUsbPath;
    t.File(dev + "/vendor", "SanDisk \n");
    t.File(dev + "/model", "Cruzer Blade    \n");
    t.File(dev + "/rev", "1.00\n");
    t.File(dev + "/vpd_pg80", UnitSerialPage("NOT-THE-USB-SERIAL"));
}
inline void BuildUsbWithoutSerial(const Tree& t) {
    t.Disk("sda", kUsbPath, "scsi", "8:0");
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
    t.File(std::string("sys/devices/") + kUsbPath + "/vpd_pg80", UnitSerialPage("FROM-VPD"));
}
inline void BuildBareScsi(const Tree& t) {
    t.Disk("sda", kAtaPath, "scsi", "8:0");
}
inline void BuildNoDeviceLink(const Tree& t) {
    t.Disk("xvda", "virtual", "", "202:0");
}
inline void BuildSerialWithZeroByte(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", std::string("AB\0CD", 5));
}
inline void BuildSerialBinary(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", "\xFF\x01\x7F");
}
inline void BuildSerialOversized(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", std::string(5000, 'S'));
}
inline void BuildSerialEmpty(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", "");
}
inline void BuildSerialLineFeedOnly(const Tree& t) {
    BuildNvme(t);
    t.File("sys/devices/pci1/nvme/nvme0/serial", "\n");
}
inline void BuildSerialIsDirectory(const Tree& t) {
    BuildVirtio(t);
    t.Remove("sys/devices/pci0/virtio1/block/vda/serial");
    t.Dir("sys/devices/pci0/virtio1/block/vda/serial");
}
inline void BuildVpdWrongPage(const Tree& t) {
    BuildSata(t);
    t.File(std::string("sys/devices/") + kAtaPath + "/vpd_pg80",
           std::string("\0\x83\0\x04WXYZ", 8));
}
inline void BuildVpdShorterThanHeader(const Tree& t) {
    BuildSata(t);
    t.File(std::string("sys/devices/") + kAtaPath + "/vpd_pg80", std::string("\0\x80\0", 3));
}

}  // namespace hwid::linux_fixtures
