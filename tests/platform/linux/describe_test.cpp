// What the Linux back end tells hwid-explain beyond the five operations: a
// failure by its errno, and the sysfs attribute that gave the serial.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/fixture_tree.h"

namespace hwid {
namespace {

using test::Tree;

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kUsbPath[] = "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0";

std::string UnitSerialPage(const std::string& serial) {
    return std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
}

// The source named after a standard property query on a handle of no rights.
std::string SerialSource(LinuxDeviceServices& services) {
    HANDLE handle =
        services.CreateFileA("\\\\.\\PhysicalDrive0", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> query(12, 0);
    std::vector<std::uint8_t> reply(4096);
    DWORD written = 0;
    EXPECT_TRUE(services.DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, query.data(),
                                         static_cast<DWORD>(query.size()), reply.data(),
                                         static_cast<DWORD>(reply.size()), &written, nullptr));
    services.CloseHandle(handle);
    char text[256] = "unchanged";
    return services.DescribeSerialSource(text, sizeof text) ? text : "";
}

TEST(LinuxDescribe, NamesTheAttributeThatGaveTheSerial) {
    const struct {
        const char* name;
        void (*build)(const Tree&);
        std::string source;  // under the tree, "" when none gave a serial
    } cases[] = {
        {"virtio",
         [](const Tree& t) {
             t.File(t.Disk("vda", "pci0/virtio1", "virtio", "254:0") + "/serial", "VIRTIO-1");
         },
         "sys/block/vda/serial"},
        {"nvme",
         [](const Tree& t) {
             t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
             t.File("sys/devices/pci1/nvme/nvme0/serial", "S4EWNX0R123456\n");
         },
         "sys/block/nvme0n1/device/serial"},
        {"sata",
         [](const Tree& t) {
             t.Disk("sda", kAtaPath, "scsi", "8:0");
             t.File(std::string("sys/devices/") + kAtaPath + "/vpd_pg80", UnitSerialPage("SN-1"));
         },
         "sys/block/sda/device/vpd_pg80"},
        {"usb",
         [](const Tree& t) {
             t.Disk("sda", kUsbPath, "scsi", "8:0");
             t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
             t.File("sys/devices/pci0/usb1/1-1/serial", "4C530001230101117371\n");
         },
         "sys/devices/pci0/usb1/1-1/serial"},
        {"no serial", [](const Tree& t) { t.Disk("vda", "pci0/virtio1", "virtio", "254:0"); }, ""},
    };
    for (const auto& c : cases) {
        Tree tree;
        c.build(tree);
        LinuxDeviceServices services = tree.Services();
        const std::string source = SerialSource(services);
        if (c.source.empty()) {
            EXPECT_EQ(source, "") << c.name;
        } else {
            // The USB device is named by its real directory.
            const std::string expected =
                c.source.rfind("sys/block", 0) == 0
                    ? tree.At(c.source)
                    : std::filesystem::canonical(tree.At("sys/devices")).string() +
                          c.source.substr(11);
            EXPECT_EQ(source, expected) << c.name;
        }
    }
}

TEST(LinuxDescribe, TellsAFailedOpenByItsErrno) {
    Tree tree;
    tree.File(tree.Disk("vda", "pci0/virtio1", "virtio", "254:0") + "/serial", "VIRTIO-1");
    LinuxDeviceServices services = tree.Services();
    char text[96] = "";
    // No node in /dev: asked for rights, the open fails with ENOENT.
    EXPECT_EQ(services.CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(services.DescribeLastError(text, sizeof text));
    EXPECT_STREQ(text, "ENOENT: No such file or directory");

    // A failure of the back end's own, with no errno behind it, is not told
    // by the errno of an earlier one.
    EXPECT_EQ(services.CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(services.DescribeLastError(text, sizeof text));

    // A node that is a directory.
    tree.Dir("dev/vda");
    LinuxDeviceServices again = tree.Services();
    EXPECT_EQ(again.CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr),
              INVALID_HANDLE_VALUE);
    ASSERT_TRUE(again.DescribeLastError(text, sizeof text));
    EXPECT_STREQ(text, "EISDIR: Is a directory");
}

}  // namespace
}  // namespace hwid
