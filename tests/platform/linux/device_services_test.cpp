// The Linux back end on fixture trees: sysfs-like directories, /dev nodes and
// mount tables built in a temporary directory for each test, and the pure
// byte functions on their own.
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

#include "hwid/disk_identity.h"
#include "platform/linux/ata.h"
#include "platform/linux/device_services.h"
#include "platform/linux/disk_info.h"
#include "platform/linux/disk_selection.h"
#include "platform/linux/errors.h"
#include "platform/linux/sysfs.h"
#include "support/fixture_tree.h"
#include "support/hex.h"

namespace hwid {
namespace {

using test::FromHex;

constexpr char kDrive0[] = "\\\\.\\PhysicalDrive0";
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// --- Fixture trees ---------------------------------------------------------

using test::Tree;

// A mount table whose "/" is the given device number and source.
std::string RootMount(const std::string& number, const std::string& source = "/dev/root",
                      const std::string& type = "ext4") {
    return "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
           "22 27 0:21 / /sys rw,relatime - sysfs sysfs rw\n"
           "27 1 " +
           number + " / / rw,relatime shared:1 - " + type + " " + source + " rw\n" +
           "28 27 0:25 / /tmp rw - tmpfs tmpfs rw\n";
}

// --- Disk selection ---------------------------------------------------------

// sda (sda1, sda2), sdb (sdb1, sdb2), sdc (sdc1), nvme0n1 with its hidden
// per-path twin, dm-0 over sdb2, dm-1 over dm-0, md0 over sdc1 and sda1, an
// empty md1, loop0; /dev/mapper/root leads to dm-1.
void BuildStackedWorld(const Tree& tree) {
    const std::string sda = tree.Disk("sda", "pci0/ata1/host0/target0:0:0/0:0:0:0", "scsi", "8:0");
    tree.Partition(sda, "sda1", "8:1");
    tree.Partition(sda, "sda2", "8:2");
    const std::string sdb = tree.Disk("sdb", "pci0/ata2/host1/target1:0:0/1:0:0:0", "scsi", "8:16");
    tree.Partition(sdb, "sdb1", "8:17");
    tree.Partition(sdb, "sdb2", "8:18");
    const std::string sdc = tree.Disk("sdc", "pci0/ata3/host2/target2:0:0/2:0:0:0", "scsi", "8:32");
    tree.Partition(sdc, "sdc1", "8:33");
    tree.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    const std::string hidden = tree.Disk("nvme0c0n1", "pci1/nvme/nvme0", "nvme", "259:1");
    tree.File(hidden + "/hidden", "1\n");
    tree.Stacked("dm-0", "253:0", {"sdb2"});
    tree.Stacked("dm-1", "253:1", {"dm-0"});
    tree.Stacked("md0", "9:0", {"sdc1", "sda1"});
    tree.Stacked("md1", "9:1", {});
    tree.Disk("loop0", "virtual", "", "7:0");
    tree.File("dev/dm-1", "");
    tree.LinkText("dev/mapper/root", "../dm-1");
}

struct SelectionCase {
    const char* name;
    std::string mountinfo;  // empty: no mount table at all
    const char* expected;
};

class DiskSelection : public testing::TestWithParam<SelectionCase> {};

TEST_P(DiskSelection, PicksTheSystemDiskOrTheFirstByName) {
    const SelectionCase& c = GetParam();
    Tree tree;
    BuildStackedWorld(tree);
    if (!c.mountinfo.empty()) {
        tree.Mountinfo(c.mountinfo);
    }
    linux_backend::BlockDisk disk;
    ASSERT_TRUE(linux_backend::SelectDriveZero(tree.At("sys").c_str(), tree.At("dev").c_str(), "",
                                               tree.At("mountinfo").c_str(), disk));
    EXPECT_STREQ(disk.name.text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskSelection,
    testing::Values(SelectionCase{"RootOnPartition", RootMount("8:2"), "sda"},
                    SelectionCase{"RootOnWholeDisk", RootMount("8:16"), "sdb"},
                    SelectionCase{"RootOnDmOverPartition", RootMount("253:0"), "sdb"},
                    SelectionCase{"RootOnDmOverDm", RootMount("253:1"), "sdb"},
                    SelectionCase{"RootOnMdFirstMemberByName", RootMount("9:0"), "sda"},
                    SelectionCase{"AnonymousDeviceFollowsMapperSource",
                                  RootMount("0:45", "/dev/mapper/root", "btrfs"), "sdb"},
                    SelectionCase{"LastRootMountWins", RootMount("8:16") + RootMount("8:2"), "sda"},
                    SelectionCase{"OverlayRootTakesFirstVisibleDisk",
                                  RootMount("0:30", "overlay", "overlay"), "nvme0n1"},
                    SelectionCase{"RootOnLoopCountsAsNoDisk", RootMount("7:0", "/dev/loop0"),
                                  "nvme0n1"},
                    SelectionCase{"MdWithoutMembersCountsAsNoDisk", RootMount("9:1"), "nvme0n1"},
                    SelectionCase{"NoMountTable", "", "nvme0n1"},
                    SelectionCase{"MountTableWithoutRoot",
                                  "22 27 0:21 / /sys rw - sysfs sysfs rw\n", "nvme0n1"}),
    [](const testing::TestParamInfo<SelectionCase>& param) { return param.param.name; });

TEST(DiskSelectionFallback, SkipsVirtualAndRemovableKindsInNameOrder) {
    Tree tree;
    // Every skipped kind sorts before vdb; zram0 after it.
    for (const char* name : {"dm-0", "fd0", "loop0", "md0", "nbd0", "ram0", "sr0", "zram0"}) {
        tree.Disk(name, "virtual", "", std::string("1:") + std::to_string(name[0]));
    }
    tree.Disk("vdc", "pci0/virtio3", "virtio", "254:16");
    tree.Disk("vdb", "pci0/virtio2", "virtio", "254:0");
    tree.Mountinfo(RootMount("0:30", "overlay", "overlay"));
    linux_backend::BlockDisk disk;
    ASSERT_TRUE(linux_backend::SelectDriveZero(tree.At("sys").c_str(), tree.At("dev").c_str(), "",
                                               tree.At("mountinfo").c_str(), disk));
    EXPECT_STREQ(disk.name.text, "vdb");
}

TEST(DiskSelectionFallback, NothingButSkippedDevicesIsNoDrive) {
    Tree tree;
    tree.Disk("loop0", "virtual", "", "7:0");
    tree.Disk("zram0", "virtual", "", "252:0");
    tree.Mountinfo(RootMount("0:30", "overlay", "overlay"));
    linux_backend::BlockDisk disk;
    EXPECT_FALSE(linux_backend::SelectDriveZero(tree.At("sys").c_str(), tree.At("dev").c_str(), "",
                                                tree.At("mountinfo").c_str(), disk));
    LinuxDeviceServices services = tree.Services();
    EXPECT_EQ(services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(DiskSelectionFallback, EmptySysfsIsNoDrive) {
    Tree tree;
    linux_backend::BlockDisk disk;
    EXPECT_FALSE(linux_backend::SelectDriveZero(tree.At("sys").c_str(), tree.At("dev").c_str(), "",
                                                tree.At("mountinfo").c_str(), disk));
}

// hwid-explain's description of drive 0 names the node that the back end
// opens. Only the described disk's node opens: every other disk's node is a
// directory, which refuses, so an open that succeeds reached that node.
struct DescriptionCase {
    const char* name;
    void (*build)(const Tree&);
    std::string mountinfo;
    bool found;
    const char* node;  // under dev/, the one that opens; empty when none
    const char* bus;
    const char* reason;
};

void BuildTwoVirtio(const Tree& t) {
    t.Disk("vda", "pci0/virtio1", "virtio", "254:0");
    const std::string vdb = t.Disk("vdb", "pci0/virtio2", "virtio", "254:16");
    t.Partition(vdb, "vdb1", "254:17");
    t.Dir("dev/vda");
    t.Dir("dev/vdb");
}
void BuildSataAndUsb(const Tree& t) {
    t.Disk("sda", "pci0/ata1/host0/target0:0:0/0:0:0:0", "scsi", "8:0");
    t.Disk("sdb", "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0", "scsi", "8:16");
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
    t.Dir("dev/sda");
    t.Dir("dev/sdb");
}
void BuildCciss(const Tree& t) {
    t.Disk("cciss!c0d0", "pci0/cciss0/c0d0", "", "104:0");
    t.Dir("dev/cciss");
}
void BuildOnlyLoop(const Tree& t) {
    t.Disk("loop0", "virtual", "", "7:0");
}

class DriveZeroDescription : public testing::TestWithParam<DescriptionCase> {};

TEST_P(DriveZeroDescription, NamesTheDiskThatTheBackEndOpens) {
    const DescriptionCase& c = GetParam();
    for (const bool describeFirst : {true, false}) {
        SCOPED_TRACE(describeFirst ? "described before the open" : "described after the open");
        Tree tree;
        c.build(tree);
        tree.Mountinfo(c.mountinfo);
        if (c.node[0] != '\0') {
            tree.Remove(std::string("dev/") + c.node);
            tree.Node(c.node);
        }
        LinuxDeviceServices services = tree.Services();
        hwid::DriveZeroDescription description{};
        if (describeFirst) {
            services.DescribeDriveZero(description);
        }
        HANDLE h =
            services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
        if (!describeFirst) {
            services.DescribeDriveZero(description);
        }
        EXPECT_EQ(description.found, c.found);
        EXPECT_STREQ(description.bus, c.bus);
        EXPECT_STREQ(description.reason, c.reason);
        if (c.node[0] == '\0') {
            EXPECT_STREQ(description.path, "");
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
            continue;
        }
        EXPECT_EQ(description.path, tree.At("dev/") + c.node);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "the open did not reach " << c.node;
        EXPECT_TRUE(services.HoldsDeviceNode(h));
        EXPECT_EQ(services.CloseHandle(h), 1);
    }
}

constexpr char kUnderRoot[] = "the whole disk under the root file system";
constexpr char kFirstByName[] = "no disk holds the root file system: the first whole disk by name";

INSTANTIATE_TEST_SUITE_P(
    Cases, DriveZeroDescription,
    testing::Values(DescriptionCase{"RootOnPartitionOfTheSecondDisk", BuildTwoVirtio,
                                    RootMount("254:17"), true, "vdb", "virtio", kUnderRoot},
                    DescriptionCase{"NoRootDiskTakesTheFirstByName", BuildTwoVirtio,
                                    RootMount("0:30", "overlay", "overlay"), true, "vda", "virtio",
                                    kFirstByName},
                    DescriptionCase{"RootOnUsbDisk", BuildSataAndUsb, RootMount("8:16"), true,
                                    "sdb", "usb", kUnderRoot},
                    DescriptionCase{"RootOnAtaDisk", BuildSataAndUsb, RootMount("8:0"), true, "sda",
                                    "ata", kUnderRoot},
                    DescriptionCase{"KernelNameWithBangIsANodeInAFolder", BuildCciss,
                                    RootMount("104:0"), true, "cciss/c0d0", "", kUnderRoot}),
    [](const testing::TestParamInfo<DescriptionCase>& param) { return param.param.name; });

TEST(DriveZeroDescriptionNone, SaysWhyThereIsNoDriveZero) {
    Tree tree;
    BuildOnlyLoop(tree);
    LinuxDeviceServices services = tree.Services();
    hwid::DriveZeroDescription description{};
    services.DescribeDriveZero(description);
    EXPECT_FALSE(description.found);
    EXPECT_STREQ(description.path, "");
    EXPECT_EQ(std::string(description.reason),
              "no whole disk under " + tree.At("sys") +
                  "/block outside loop, ram, zram, nbd, md, dm, sr, fd");
    EXPECT_EQ(services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(DriveZeroDescriptionNone, TooLongRootIsNoDriveZero) {
    LinuxDeviceServices services(std::string(5000, 'x'), "/dev", "/proc/self/mountinfo", "/");
    hwid::DriveZeroDescription description{};
    services.DescribeDriveZero(description);
    EXPECT_FALSE(description.found);
    EXPECT_STREQ(description.reason, "the sysfs, /dev or mount table path is too long");
}

// Drive 0 by the device number of a real directory here whose file system is
// on a block device (major not 0), with the number given to a fixture disk.
class RootDeviceNumber : public testing::Test {
  protected:
    void SetUp() override {
        BuildStackedWorld(tree);
        for (const std::string& candidate : {std::string("/"), tree.At(""), std::string("/tmp")}) {
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && major(info.st_dev) != 0) {
                root = candidate;
                number =
                    std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
                return;
            }
        }
        GTEST_SKIP() << "no directory here is on a block device";
    }

    std::string Select(const std::string& rootPath) {
        linux_backend::BlockDisk disk;
        if (!linux_backend::SelectDriveZero(tree.At("sys").c_str(), tree.At("dev").c_str(),
                                            rootPath.c_str(), tree.At("mountinfo").c_str(), disk)) {
            return "(none)";
        }
        EXPECT_EQ(std::string(disk.dir.text),
                  std::filesystem::canonical(tree.At("sys/block/") + disk.name.text).string());
        return disk.name.text;
    }

    Tree tree;
    std::string root;
    std::string number;
};

TEST_F(RootDeviceNumber, ComesBeforeTheMountTable) {
    // The root's number leads to sdb2; the mount table names a partition of sda.
    tree.LinkText("sys/dev/block/" + number,
                  std::filesystem::canonical(tree.At("sys/class/block/sdb2")).string());
    tree.Mountinfo(RootMount(number == "8:1" ? "8:2" : "8:1"));
    EXPECT_EQ(Select(root), "sdb");
    // proc's device number is anonymous (major 0): the mount table decides.
    EXPECT_EQ(Select("/proc"), "sda");
}

TEST_F(RootDeviceNumber, WithoutSysfsEntryLeavesItToTheMountTable) {
    tree.Remove("sys/dev/block/" + number);
    tree.Mountinfo(RootMount("8:16"));
    EXPECT_EQ(Select(root), "sdb");
}

// --- Descriptor contents ------------------------------------------------------

struct Descriptor {
    DWORD version = 0;
    DWORD size = 0;
    int deviceType = 0;
    int removable = 0;
    DWORD offsets[4] = {};
    std::string strings[4];  // vendor, product, revision, serial; "" for offset 0
    DWORD busType = 0;
};

DWORD Le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<DWORD>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                              static_cast<DWORD>(bytes[at + 3]) << 24);
}

// Reads a descriptor back, checking that every string lies inside the bytes
// written and ends there.
Descriptor ParseDescriptor(const std::vector<std::uint8_t>& bytes, DWORD written) {
    Descriptor d;
    d.version = Le32(bytes, 0);
    d.size = Le32(bytes, 4);
    d.deviceType = bytes[8];
    d.removable = bytes[10];
    d.busType = Le32(bytes, 28);
    for (std::size_t i = 0; i < 4; ++i) {
        d.offsets[i] = Le32(bytes, 12 + 4 * i);
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
QueryResult QueryDescriptor(LinuxDeviceServices& services, HANDLE handle, DWORD outSize,
                            std::vector<std::uint8_t> query = std::vector<std::uint8_t>(12, 0)) {
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

Descriptor DescriptorOf(const Tree& tree) {
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    const QueryResult r = QueryDescriptor(services, handle, 10000);
    EXPECT_EQ(r.result, 1) << "error " << r.error;
    EXPECT_EQ(r.written, Le32(r.bytes, 4));
    services.CloseHandle(handle);
    return ParseDescriptor(r.bytes, r.written);
}

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kUsbPath[] = "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0";

// A vpd_pg80 file: the 4-byte page header, then the serial.
std::string UnitSerialPage(const std::string& serial) {
    return std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
}

struct DescriptorCase {
    const char* name;
    void (*build)(const Tree&);
    const char* vendor;
    const char* product;
    const char* revision;
    const char* serial;
    STORAGE_BUS_TYPE bus;
};

class DescriptorContents : public testing::TestWithParam<DescriptorCase> {};

TEST_P(DescriptorContents, CarriesWhatTheDiskReports) {
    const DescriptorCase& c = GetParam();
    Tree tree;
    c.build(tree);
    tree.Mountinfo(RootMount("0:30", "overlay", "overlay"));
    const Descriptor d = DescriptorOf(tree);
    EXPECT_EQ(d.version, 40u);
    EXPECT_EQ(d.strings[0], c.vendor);
    EXPECT_EQ(d.strings[1], c.product);
    EXPECT_EQ(d.strings[2], c.revision);
    EXPECT_EQ(d.strings[3], c.serial);
    EXPECT_EQ(d.busType, static_cast<DWORD>(c.bus));
    // Offset 0 exactly for the strings not reported.
    const char* expected[] = {c.vendor, c.product, c.revision, c.serial};
    std::size_t size = 40;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(d.offsets[i] == 0, expected[i][0] == '\0') << "string " << i;
        size += expected[i][0] == '\0' ? 0 : std::strlen(expected[i]) + 1;
    }
    EXPECT_EQ(d.size, size);
}

void BuildNvme(const Tree& t) {
    t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    t.File("sys/devices/pci1/nvme/nvme0/serial", "S4EWNX0R123456\n");
    t.File("sys/devices/pci1/nvme/nvme0/model", "Samsung SSD 970 EVO Plus 1TB\n");
    t.File("sys/devices/pci1/nvme/nvme0/firmware_rev", "2B2QEXM7\n");
}
void BuildNvmeMultipath(const Tree& t) {
    t.Disk("nvme0n1", "virtual/nvme-subsystem/nvme-subsys0", "nvme-subsystem", "259:0");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/serial", "PHLJ123400AB1P0\n");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/model", "INTEL SSDPEKNW010T8\n");
    t.File("sys/devices/virtual/nvme-subsystem/nvme-subsys0/firmware_rev", "004C\n");
}
void BuildVirtio(const Tree& t) {
    const std::string block = t.Disk("vda", "pci0/virtio1", "virtio", "254:0");
    t.File(block + "/serial", "1136632498710136");  // virtio-blk shows it without a line feed
    t.File("sys/devices/pci0/virtio1/vendor", "0x1af4\n");
}
void BuildSata(const Tree& t) {
    t.Disk("sda", kAtaPath, "scsi", "8:0");
    const std::string dev = std::string("sys/devices/") + kAtaPath;
    t.File(dev + "/vendor", "ATA     \n");
    t.File(dev + "/model", "QEMU HARDDISK   \n");
    t.File(dev + "/rev", "2.5+\n");
    t.File(dev + "/type", "0\n");
    t.File(dev + "/vpd_pg80", UnitSerialPage("      SN-SATA-0001  "));
}
void BuildScsi(const Tree& t) {
    const std::string path = "pci0/virtio2/host0/target0:0:0/0:0:0:0";
    t.Disk("sda", path, "scsi", "8:0");
    t.File("sys/devices/" + path + "/vendor", "QEMU    \n");
    t.File("sys/devices/" + path + "/model", "QEMU HARDDISK   \n");
    t.File("sys/devices/" + path + "/rev", "2.5+\n");
    // A page that says it is longer than the file: what is there counts.
    t.File("sys/devices/" + path + "/vpd_pg80", std::string("\0\x80\0\x40SCSI0001", 12));
}
void BuildUsb(const Tree& t) {
    t.Disk("sda", kUsbPath, "scsi", "8:0");
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
    t.File("sys/devices/pci0/usb1/1-1/serial", "4C530001230101117371\n");
    const std::string dev = std::string("sys/devices/") + kUsbPath;
    t.File(dev + "/vendor", "SanDisk \n");
    t.File(dev + "/model", "Cruzer Blade    \n");
    t.File(dev + "/rev", "1.00\n");
    t.File(dev + "/vpd_pg80", UnitSerialPage("NOT-THE-USB-SERIAL"));
}
void BuildUsbWithoutSerial(const Tree& t) {
    t.Disk("sda", kUsbPath, "scsi", "8:0");
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
    t.File(std::string("sys/devices/") + kUsbPath + "/vpd_pg80", UnitSerialPage("FROM-VPD"));
}
void BuildBareScsi(const Tree& t) {
    t.Disk("sda", kAtaPath, "scsi", "8:0");
}
void BuildNoDeviceLink(const Tree& t) {
    t.Disk("xvda", "virtual", "", "202:0");
}
void BuildSerialWithZeroByte(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", std::string("AB\0CD", 5));
}
void BuildSerialBinary(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", "\xFF\x01\x7F");
}
void BuildSerialOversized(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", std::string(5000, 'S'));
}
void BuildSerialEmpty(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", "");
}
void BuildSerialLineFeedOnly(const Tree& t) {
    BuildNvme(t);
    t.File("sys/devices/pci1/nvme/nvme0/serial", "\n");
}
void BuildSerialIsDirectory(const Tree& t) {
    BuildVirtio(t);
    t.Remove("sys/devices/pci0/virtio1/block/vda/serial");
    t.Dir("sys/devices/pci0/virtio1/block/vda/serial");
}
void BuildVpdWrongPage(const Tree& t) {
    BuildSata(t);
    t.File(std::string("sys/devices/") + kAtaPath + "/vpd_pg80",
           std::string("\0\x83\0\x04WXYZ", 8));
}
void BuildVpdShorterThanHeader(const Tree& t) {
    BuildSata(t);
    t.File(std::string("sys/devices/") + kAtaPath + "/vpd_pg80", std::string("\0\x80\0", 3));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorContents,
    testing::Values(
        DescriptorCase{"Nvme", BuildNvme, "", "Samsung SSD 970 EVO Plus 1TB", "2B2QEXM7",
                       "S4EWNX0R123456", BusTypeNvme},
        DescriptorCase{"NvmeMultipathHead", BuildNvmeMultipath, "", "INTEL SSDPEKNW010T8", "004C",
                       "PHLJ123400AB1P0", BusTypeNvme},
        DescriptorCase{"Virtio", BuildVirtio, "", "", "", "1136632498710136", BusTypeVirtual},
        DescriptorCase{"SataUntrimmed", BuildSata, "ATA     ", "QEMU HARDDISK   ", "2.5+",
                       "      SN-SATA-0001  ", BusTypeSata},
        DescriptorCase{"ScsiPageLongerThanFile", BuildScsi, "QEMU    ", "QEMU HARDDISK   ", "2.5+",
                       "SCSI0001", BusTypeScsi},
        DescriptorCase{"UsbSerialOverPage", BuildUsb, "SanDisk ", "Cruzer Blade    ", "1.00",
                       "4C530001230101117371", BusTypeUsb},
        DescriptorCase{"UsbWithoutSerialUsesPage", BuildUsbWithoutSerial, "", "", "", "FROM-VPD",
                       BusTypeUsb},
        DescriptorCase{"AllMissing", BuildBareScsi, "", "", "", "", BusTypeSata},
        DescriptorCase{"NoDeviceLink", BuildNoDeviceLink, "", "", "", "", BusTypeUnknown},
        DescriptorCase{"SerialCutAtZeroByte", BuildSerialWithZeroByte, "", "", "", "AB",
                       BusTypeVirtual},
        DescriptorCase{"SerialBinaryBytesAsReported", BuildSerialBinary, "", "", "", "\xFF\x01\x7F",
                       BusTypeVirtual},
        DescriptorCase{"SerialOversizedIsAbsent", BuildSerialOversized, "", "", "", "",
                       BusTypeVirtual},
        DescriptorCase{"SerialEmptyIsAbsent", BuildSerialEmpty, "", "", "", "", BusTypeVirtual},
        DescriptorCase{"SerialLineFeedOnlyIsAbsent", BuildSerialLineFeedOnly, "",
                       "Samsung SSD 970 EVO Plus 1TB", "2B2QEXM7", "", BusTypeNvme},
        DescriptorCase{"SerialDirectoryIsAbsent", BuildSerialIsDirectory, "", "", "", "",
                       BusTypeVirtual},
        DescriptorCase{"PageOtherThan80IsAbsent", BuildVpdWrongPage, "ATA     ", "QEMU HARDDISK   ",
                       "2.5+", "", BusTypeSata},
        DescriptorCase{"PageShorterThanHeaderIsAbsent", BuildVpdShorterThanHeader, "ATA     ",
                       "QEMU HARDDISK   ", "2.5+", "", BusTypeSata}),
    [](const testing::TestParamInfo<DescriptorCase>& param) { return param.param.name; });

TEST(Descriptor, ReportsScsiTypeAndRemovableMedia) {
    Tree tree;
    BuildUsb(tree);
    tree.File(std::string("sys/devices/") + kUsbPath + "/type", "7\n");
    tree.File(std::string("sys/devices/") + kUsbPath + "/block/sda/removable", "1\n");
    const Descriptor d = DescriptorOf(tree);
    EXPECT_EQ(d.deviceType, 7);
    EXPECT_EQ(d.removable, 1);
}

// Vendor "ATA     " (8) + product "QEMU HARDDISK   " (16) + revision "2.5+"
// (4) + serial (20), each with its terminator, after the 40-byte header.
constexpr DWORD kSataDescriptorSize = 40 + 9 + 17 + 5 + 21;

struct SmallOutputCase {
    DWORD outSize;
    BOOL result;
    DWORD written;
    int stringsKept;  // leading strings whose offsets survive
};

class DescriptorOutputSize : public testing::TestWithParam<SmallOutputCase> {};

TEST_P(DescriptorOutputSize, NeverWritesPastTheOutputAndDropsStringsThatDoNotFit) {
    const SmallOutputCase& c = GetParam();
    Tree tree;
    BuildSata(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const QueryResult r = QueryDescriptor(services, handle, c.outSize);
    services.CloseHandle(handle);
    EXPECT_EQ(r.result, c.result);
    if (c.result == 0) {
        EXPECT_EQ(r.error, ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(r.bytes[0], kGuard);
        return;
    }
    EXPECT_EQ(r.written, c.written);
    EXPECT_EQ(Le32(r.bytes, 0), 40u);
    EXPECT_EQ(Le32(r.bytes, 4), kSataDescriptorSize);
    if (c.outSize >= 28) {
        for (int i = 0; i < 4; ++i) {
            const DWORD offset = Le32(r.bytes, 12 + 4 * static_cast<std::size_t>(i));
            EXPECT_EQ(offset != 0, i < c.stringsKept) << "string " << i;
            if (offset != 0) {
                EXPECT_LE(offset + std::strlen(reinterpret_cast<const char*>(&r.bytes[offset])) + 1,
                          c.outSize);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorOutputSize,
    testing::Values(SmallOutputCase{0, 0, 0, 0}, SmallOutputCase{7, 0, 0, 0},
                    SmallOutputCase{8, 1, 8, 0}, SmallOutputCase{40, 1, 40, 0},
                    SmallOutputCase{48, 1, 48, 0}, SmallOutputCase{49, 1, 49, 1},
                    SmallOutputCase{71, 1, 71, 3},
                    SmallOutputCase{kSataDescriptorSize - 1, 1, kSataDescriptorSize - 1, 3},
                    SmallOutputCase{kSataDescriptorSize, 1, kSataDescriptorSize, 4}));

struct QueryParameterCase {
    std::vector<std::uint8_t> query;
    DWORD error;
};

TEST(Descriptor, RefusesOtherPropertiesAndQueryTypes) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const QueryParameterCase cases[] = {
        {FromHex("01000000 00000000 00000000"), ERROR_NOT_SUPPORTED},      // StorageAdapterProperty
        {FromHex("00000000 01000000 00000000"), ERROR_INVALID_PARAMETER},  // PropertyExistsQuery
        {FromHex("00000000"), ERROR_INVALID_PARAMETER},                    // too short
    };
    for (const QueryParameterCase& c : cases) {
        const QueryResult r = QueryDescriptor(services, handle, 10000, c.query);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.written, 0u);
    }
    // Without an input buffer at all.
    std::uint8_t out[64];
    DWORD written = 7;
    EXPECT_EQ(services.DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, nullptr, 0, out,
                                       sizeof out, &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(written, 0u);
    services.CloseHandle(handle);
}

// --- Geometry -------------------------------------------------------------------

struct GeometryCase {
    const char* name;
    const char* size;              // nullptr: no size file
    const char* logicalBlockSize;  // nullptr: no file
    const char* removable;
    BOOL result;
    std::int64_t cylinders;
    DWORD bytesPerSector;
    DWORD mediaType;
    std::int64_t diskSize;
};

class Geometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, FollowsTheSysfsSize) {
    const GeometryCase& c = GetParam();
    Tree tree;
    const std::string block = tree.Disk("vda", "pci0/virtio1", "virtio", "254:0");
    tree.Remove(block + "/size");
    tree.Remove(block + "/queue/logical_block_size");
    if (c.size != nullptr) {
        tree.File(block + "/size", c.size);
    }
    if (c.logicalBlockSize != nullptr) {
        tree.File(block + "/queue/logical_block_size", c.logicalBlockSize);
    }
    tree.File(block + "/removable", c.removable);
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> out(10000, kGuard);
    DWORD written = 0;
    const BOOL result = services.DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr,
                                                 0, out.data(), 10000, &written, nullptr);
    ASSERT_EQ(result, c.result);
    if (result == 0) {
        EXPECT_EQ(services.GetLastError(), ERROR_NOT_READY);
        return;
    }
    EXPECT_EQ(written, 32u);
    DISK_GEOMETRY_EX geometry;
    std::memcpy(&geometry, out.data(), 32);
    EXPECT_EQ(geometry.Geometry.Cylinders.QuadPart, c.cylinders);
    EXPECT_EQ(static_cast<DWORD>(geometry.Geometry.MediaType), c.mediaType);
    EXPECT_EQ(geometry.Geometry.TracksPerCylinder, 255u);
    EXPECT_EQ(geometry.Geometry.SectorsPerTrack, 63u);
    EXPECT_EQ(geometry.Geometry.BytesPerSector, c.bytesPerSector);
    EXPECT_EQ(geometry.DiskSize.QuadPart, c.diskSize);
    EXPECT_EQ(out[32], kGuard);
    services.CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Geometry,
    testing::Values(
        // 256 GiB: 274877906944 / (255 * 63 * 512) = 33418.9
        GeometryCase{"Fixed512", "536870912\n", "512\n", "0\n", 1, 33418, 512, FixedMedia,
                     274877906944},
        GeometryCase{"Removable4K", "2097152\n", "4096\n", "1\n", 1, 16, 4096, RemovableMedia,
                     1073741824},
        GeometryCase{"NoBlockSizeMeans512", "2097152\n", nullptr, "0\n", 1, 130, 512, FixedMedia,
                     1073741824},
        GeometryCase{"OddBlockSizeMeans512", "2097152\n", "1000\n", "0\n", 1, 130, 512, FixedMedia,
                     1073741824},
        GeometryCase{"NoSize", nullptr, "512\n", "0\n", 0, 0, 0, 0, 0},
        GeometryCase{"ZeroSizeNoMedium", "0\n", "512\n", "0\n", 0, 0, 0, 0, 0},
        GeometryCase{"GarbledSize", "12x\n", "512\n", "0\n", 0, 0, 0, 0, 0},
        GeometryCase{"OverflowingSize", "99999999999999999999\n", "512\n", "0\n", 0, 0, 0, 0, 0}),
    [](const testing::TestParamInfo<GeometryCase>& param) { return param.param.name; });

TEST(GeometryOutput, TooSmallIsInsufficientBuffer) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE handle = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<std::uint8_t> out(64, kGuard);
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                       out.data(), 31, &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out[0], kGuard);
    services.CloseHandle(handle);
}

// --- CreateFileA ------------------------------------------------------------

struct OpenCase {
    const char* name;
    void (*node)(const Tree&);  // what dev/vda is
    const char* path;
    DWORD access;
    DWORD disposition;
    bool opens;
    DWORD error;     // when it fails
    bool holdsNode;  // when it opens
};

void NoNode(const Tree&) {}
void FileNode(const Tree& t) {
    t.Node("vda");
}
void DirectoryNode(const Tree& t) {
    t.Dir("dev/vda");
}
void LoopingNode(const Tree& t) {
    t.LinkText("dev/vda", t.At("dev/vda"));
}

class OpenDrive : public testing::TestWithParam<OpenCase> {};

// A node that refuses a non-root user (EACCES) cannot be made as root; a
// directory stands in for it, which Windows too refuses to open as a file.
TEST_P(OpenDrive, MapsTheNodeToAHandleOrAWindowsError) {
    const OpenCase& c = GetParam();
    Tree tree;
    BuildVirtio(tree);
    c.node(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE handle =
        services.CreateFileA(c.path, c.access, kShare, nullptr, c.disposition, 0, nullptr);
    if (!c.opens) {
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(services.GetLastError(), c.error);
        EXPECT_EQ(services.OpenHandleCount(), 0u);
        return;
    }
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(services.HoldsDeviceNode(handle), c.holdsNode);
    EXPECT_EQ(services.CloseHandle(handle), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenDrive,
    testing::Values(
        OpenCase{"ReadWriteOpensTheNode", FileNode, kDrive0, kReadWrite, OPEN_EXISTING, true, 0,
                 true},
        OpenCase{"NoRightsOpensTheNodeWhenItCan", FileNode, kDrive0, 0, OPEN_EXISTING, true, 0,
                 true},
        OpenCase{"NoRightsFallsBackToSysfs", NoNode, kDrive0, 0, OPEN_EXISTING, true, 0, false},
        OpenCase{"NoRightsDirectoryNodeFallsBackToSysfs", DirectoryNode, kDrive0, 0, OPEN_EXISTING,
                 true, 0, false},
        OpenCase{"NameIsCaseInsensitive", FileNode, "\\\\.\\PHYSICALDRIVE0", kReadWrite,
                 OPEN_EXISTING, true, 0, true},
        OpenCase{"MissingNode", NoNode, kDrive0, kReadWrite, OPEN_EXISTING, false,
                 ERROR_FILE_NOT_FOUND, false},
        OpenCase{"DirectoryNode", DirectoryNode, kDrive0, kReadWrite, OPEN_EXISTING, false,
                 ERROR_ACCESS_DENIED, false},
        OpenCase{"LoopingNode", LoopingNode, kDrive0, kReadWrite, OPEN_EXISTING, false,
                 ERROR_CANT_RESOLVE_FILENAME, false},
        OpenCase{"OtherDrive", FileNode, "\\\\.\\PhysicalDrive1", kReadWrite, OPEN_EXISTING, false,
                 ERROR_FILE_NOT_FOUND, false},
        OpenCase{"LongerName", FileNode, "\\\\.\\PhysicalDrive00", 0, OPEN_EXISTING, false,
                 ERROR_FILE_NOT_FOUND, false},
        OpenCase{"LinuxPath", FileNode, "/dev/vda", 0, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND,
                 false},
        OpenCase{"EmptyPath", FileNode, "", 0, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, false},
        OpenCase{"CreateDisposition", FileNode, kDrive0, kReadWrite, 2 /* CREATE_ALWAYS */, false,
                 ERROR_INVALID_PARAMETER, false}),
    [](const testing::TestParamInfo<OpenCase>& param) { return param.param.name; });

TEST(OpenDrive, SysfsEntryGoneAndNoNodeIsFileNotFound) {
    Tree tree;
    BuildVirtio(tree);
    tree.Mountinfo(RootMount("254:0"));
    // The disk's directory and its link in block/ gone; dev/block/254:0 still
    // points at where it was.
    tree.Remove("sys/devices/pci0/virtio1/block/vda");
    tree.Remove("sys/block/vda");
    LinuxDeviceServices services = tree.Services();
    EXPECT_EQ(services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Both probes open drive 0 with the same flags: a node that refused the first
// open is not asked again within the run, whatever changes in between.
TEST(OpenDrive, RefusedNodeIsNotTriedTwice) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    EXPECT_EQ(services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_FILE_NOT_FOUND);
    tree.Node("vda");
    HANDLE h = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(services.HoldsDeviceNode(h));
    EXPECT_EQ(services.CloseHandle(h), 1);
    // A new run sees the node.
    LinuxDeviceServices next = tree.Services();
    h = next.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(next.HoldsDeviceNode(h));
    EXPECT_EQ(next.CloseHandle(h), 1);
}

TEST(OpenDrive, TooLongRootFailsEveryOpen) {
    LinuxDeviceServices services(std::string(5000, 'x'), "/dev", "/proc/self/mountinfo", "/");
    EXPECT_EQ(services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(ErrnoMapping, GivesTheWindowsCodes) {
    const std::pair<int, DWORD> cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EISDIR, ERROR_ACCESS_DENIED},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENOTTY, ERROR_INVALID_FUNCTION},
        {ENOMEDIUM, ERROR_NOT_READY},
        {EIO, ERROR_IO_DEVICE},
        {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
        {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {EXDEV, ERROR_GEN_FAILURE},
    };
    for (const auto& [error, expected] : cases) {
        EXPECT_EQ(linux_backend::ErrnoToWindowsError(error), expected) << "errno " << error;
    }
}

// --- Handles ------------------------------------------------------------------

std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (::readdir(fds) != nullptr) {
            ++count;
        }
        ::closedir(fds);
    }
    return count;
}

TEST(Handles, AreDistinctNeverReusedAndCloseTheirNodes) {
    Tree tree;
    BuildVirtio(tree);
    tree.Node("vda");
    LinuxDeviceServices services = tree.Services();
    const std::size_t before = OpenDescriptorCount();
    std::vector<HANDLE> handles;
    for (std::size_t i = 0; i < LinuxDeviceServices::kMaxHandles; ++i) {
        HANDLE h =
            services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        for (HANDLE other : handles) {
            EXPECT_NE(h, other);
        }
        handles.push_back(h);
    }
    EXPECT_EQ(services.OpenHandleCount(), LinuxDeviceServices::kMaxHandles);
    EXPECT_EQ(OpenDescriptorCount(), before + LinuxDeviceServices::kMaxHandles);
    EXPECT_EQ(services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), ERROR_TOO_MANY_OPEN_FILES);

    EXPECT_EQ(services.CloseHandle(handles[3]), 1);
    HANDLE again =
        services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    for (HANDLE h : handles) {
        EXPECT_NE(again, h);
    }
    handles[3] = again;
    for (HANDLE h : handles) {
        EXPECT_EQ(services.CloseHandle(h), 1);
    }
    EXPECT_EQ(services.OpenHandleCount(), 0u);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(Handles, UnknownOrClosedHandlesAreInvalid) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE h = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.CloseHandle(h), 1);
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                       reinterpret_cast<HANDLE>(std::uintptr_t{0x5000})}) {
        EXPECT_EQ(services.CloseHandle(bad), 0);
        EXPECT_EQ(services.GetLastError(), ERROR_INVALID_HANDLE);
        std::uint8_t out[64];
        DWORD written = 9;
        EXPECT_EQ(services.DeviceIoControl(bad, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, out,
                                           sizeof out, &written, nullptr),
                  0);
        EXPECT_EQ(services.GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(written, 0u);
    }
}

TEST(Handles, DeviceThatVanishesFailsItsRequests) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE h = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Unplugged: the kernel takes the disk's directory away, and its links.
    tree.Remove("sys/devices/pci0/virtio1/block/vda");
    tree.Remove("sys/block/vda");
    const QueryResult r = QueryDescriptor(services, h, 10000);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error, ERROR_DEVICE_NOT_CONNECTED);
    std::uint8_t out[64];
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, out,
                                       sizeof out, &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(services.CloseHandle(h), 1);
}

TEST(Handles, UnknownControlCodeIsInvalidFunction) {
    Tree tree;
    BuildVirtio(tree);
    LinuxDeviceServices services = tree.Services();
    HANDLE h = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    std::uint8_t out[64];
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, 0x2D0C10 /* IOCTL_STORAGE_GET_DEVICE_NUMBER */, nullptr,
                                       0, out, sizeof out, &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_INVALID_FUNCTION);
    services.CloseHandle(h);
}

// --- GetVersionExW --------------------------------------------------------------

TEST(Version, ReportsTheNtPlatformForTheDocumentedSizeOnly) {
    LinuxDeviceServices services("/nonexistent", "/nonexistent", "/nonexistent", "/");
    OSVERSIONINFOW version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    EXPECT_EQ(services.GetVersionExW(&version), 1);
    EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);

    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = 100;
    EXPECT_EQ(services.GetVersionExW(&version), 0);
    EXPECT_EQ(services.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(version.dwPlatformId, 0u);
    EXPECT_EQ(services.GetVersionExW(nullptr), 0);
    EXPECT_EQ(services.GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- SMART requests ---------------------------------------------------------------

struct SmartVersionCase {
    const char* name;
    void (*build)(const Tree&);
    const char* node;
    BOOL result;
    int deviceMap;
    DWORD error;
};

void BuildAtapiDisk(const Tree& t) {
    BuildSata(t);
    t.File(std::string("sys/devices/") + kAtaPath + "/type", "5\n");
}
// A USB bridge that translates to ATA: no ata port, but libata's vendor.
void BuildUsbAtaBridge(const Tree& t) {
    BuildUsb(t);
    t.File(std::string("sys/devices/") + kUsbPath + "/vendor", "ATA     \n");
}

class SmartVersion : public testing::TestWithParam<SmartVersionCase> {};

TEST_P(SmartVersion, AnswersForLibataDevicesOnly) {
    const SmartVersionCase& c = GetParam();
    Tree tree;
    c.build(tree);
    tree.Node(c.node);
    LinuxDeviceServices services = tree.Services();
    HANDLE h =
        services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    GETVERSIONINPARAMS version;
    std::memset(&version, 0, sizeof version);
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, SMART_GET_VERSION, nullptr, 0, &version, sizeof version,
                                       &written, nullptr),
              c.result);
    EXPECT_EQ(version.bIDEDeviceMap, c.deviceMap);
    if (c.result != 0) {
        EXPECT_EQ(written, 24u);
        EXPECT_EQ(version.bVersion, 1);
    } else {
        EXPECT_EQ(services.GetLastError(), c.error);
    }
    services.CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmartVersion,
    testing::Values(SmartVersionCase{"SataDisk", BuildSata, "sda", 1, 0x01, 0},
                    SmartVersionCase{"AtapiDevice", BuildAtapiDisk, "sda", 1, 0x10, 0},
                    SmartVersionCase{"UsbAtaBridge", BuildUsbAtaBridge, "sda", 1, 0x01, 0},
                    SmartVersionCase{"Nvme", BuildNvme, "nvme0n1", 0, 0, ERROR_INVALID_FUNCTION},
                    SmartVersionCase{"Virtio", BuildVirtio, "vda", 0, 0, ERROR_INVALID_FUNCTION},
                    SmartVersionCase{"Scsi", BuildScsi, "sda", 0, 0, ERROR_INVALID_FUNCTION},
                    SmartVersionCase{"Usb", BuildUsb, "sda", 0, 0, ERROR_INVALID_FUNCTION}),
    [](const testing::TestParamInfo<SmartVersionCase>& param) { return param.param.name; });

SENDCMDINPARAMS IdentifyRequest(BYTE command) {
    SENDCMDINPARAMS request;
    std::memset(&request, 0, sizeof request);
    request.cBufferSize = IDENTIFY_BUFFER_SIZE;
    request.irDriveRegs.bSectorCountReg = 1;
    request.irDriveRegs.bDriveHeadReg = 0xA0;
    request.irDriveRegs.bCommandReg = command;
    return request;
}

TEST(SmartRequests, NeedReadAndWriteAccess) {
    Tree tree;
    BuildSata(tree);
    tree.Node("sda");
    LinuxDeviceServices services = tree.Services();
    HANDLE h = services.CreateFileA(kDrive0, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(services.HoldsDeviceNode(h));
    GETVERSIONINPARAMS version;
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, SMART_GET_VERSION, nullptr, 0, &version, sizeof version,
                                       &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_ACCESS_DENIED);
    SENDCMDINPARAMS request = IdentifyRequest(ID_CMD);
    std::uint8_t reply[528];
    EXPECT_EQ(services.DeviceIoControl(h, SMART_RCV_DRIVE_DATA, &request, 32, reply, sizeof reply,
                                       &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_ACCESS_DENIED);
    services.CloseHandle(h);
}

struct IdentifyCase {
    const char* name;
    BYTE command;
    DWORD inSize;
    DWORD outSize;
    DWORD error;
};

class SmartReceive : public testing::TestWithParam<IdentifyCase> {};

// The node here is a plain file, so a command that gets through to the
// device fails in SG_IO and HDIO_GET_IDENTITY alike (ENOTTY).
TEST_P(SmartReceive, RefusesBadRequestsAndOtherCommands) {
    const IdentifyCase& c = GetParam();
    Tree tree;
    BuildSata(tree);
    tree.Node("sda");
    LinuxDeviceServices services = tree.Services();
    HANDLE h =
        services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SENDCMDINPARAMS request = IdentifyRequest(c.command);
    std::vector<std::uint8_t> reply(600, kGuard);
    DWORD written = 5;
    EXPECT_EQ(services.DeviceIoControl(h, SMART_RCV_DRIVE_DATA, &request, c.inSize, reply.data(),
                                       c.outSize, &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), c.error);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(reply[0], kGuard);
    services.CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmartReceive,
    testing::Values(IdentifyCase{"SmartReadData", SMART_CMD, 32, 528, ERROR_INVALID_PARAMETER},
                    IdentifyCase{"ReadSectors", 0x20, 32, 528, ERROR_INVALID_PARAMETER},
                    IdentifyCase{"SecurityErase", 0xF4, 32, 528, ERROR_INVALID_PARAMETER},
                    IdentifyCase{"ShortRequest", ID_CMD, 31, 528, ERROR_INVALID_PARAMETER},
                    IdentifyCase{"ShortReply", ID_CMD, 32, 527, ERROR_INSUFFICIENT_BUFFER},
                    IdentifyCase{"IdentifyOnAFile", ID_CMD, 32, 528, ERROR_INVALID_FUNCTION},
                    IdentifyCase{"IdentifyPacketOnAFile", ATAPI_ID_CMD, 32, 528,
                                 ERROR_INVALID_FUNCTION}),
    [](const testing::TestParamInfo<IdentifyCase>& param) { return param.param.name; });

TEST(SmartRequests, RefusedOnDevicesWithoutAtaTranslation) {
    Tree tree;
    BuildNvme(tree);
    tree.Node("nvme0n1");
    LinuxDeviceServices services = tree.Services();
    HANDLE h =
        services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    SENDCMDINPARAMS request = IdentifyRequest(ID_CMD);
    std::uint8_t reply[528];
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, SMART_RCV_DRIVE_DATA, &request, 32, reply, sizeof reply,
                                       &written, nullptr),
              0);
    EXPECT_EQ(services.GetLastError(), ERROR_INVALID_FUNCTION);
    services.CloseHandle(h);
}

// A real block device that speaks neither SG_IO nor HDIO_GET_IDENTITY: the
// kernel's own refusal comes back as a Windows error, not as data.
TEST(SmartRequests, RealBlockDeviceWithoutAtaFails) {
    const int probe = ::open("/dev/loop0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        GTEST_SKIP() << "/dev/loop0 cannot be opened here";
    }
    ::close(probe);
    Tree tree;
    BuildSata(tree);
    tree.LinkText("dev/sda", "/dev/loop0");
    LinuxDeviceServices services = tree.Services();
    HANDLE h =
        services.CreateFileA(kDrive0, kReadWrite, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SENDCMDINPARAMS request = IdentifyRequest(ID_CMD);
    std::vector<std::uint8_t> reply(528, kGuard);
    DWORD written = 0;
    EXPECT_EQ(services.DeviceIoControl(h, SMART_RCV_DRIVE_DATA, &request, 32, reply.data(), 528,
                                       &written, nullptr),
              0);
    EXPECT_NE(services.GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(reply[0], kGuard);
    services.CloseHandle(h);
}

// --- The probes on fixture trees --------------------------------------------------

template <std::size_t N>
std::string TextOf(const std::array<char, N>& field) {
    return std::string(field.data(), strnlen(field.data(), N));
}

struct ProbeCase {
    const char* name;
    void (*build)(const Tree&);
    const char* serialText;
    const char* modelText;
};

class ProbesOnFixtures : public testing::TestWithParam<ProbeCase> {};

TEST_P(ProbesOnFixtures, ReachTheSerialThroughTheDescriptor) {
    const ProbeCase& c = GetParam();
    Tree tree;
    c.build(tree);
    LinuxDeviceServices services = tree.Services();
    DiskIdentity identity{};
    CollectDiskIdentity(identity, services);
    EXPECT_EQ(TextOf(identity.serialText), c.serialText);
    EXPECT_EQ(TextOf(identity.modelText), c.modelText);
    EXPECT_EQ(services.OpenHandleCount(), 0u);
}

// As in a container: the node refuses to open, sysfs still reports.
void BuildVirtioNodeRefused(const Tree& t) {
    BuildVirtio(t);
    DirectoryNode(t);
}
// The pass-through fails (the node is a plain file), so SMART gives way to
// the descriptor.
void BuildSataPassThroughFails(const Tree& t) {
    BuildSata(t);
    t.Node("sda");
}
void BuildHexLookingSerial(const Tree& t) {
    BuildVirtio(t);
    t.File("sys/devices/pci0/virtio1/block/vda/serial", "4142434431323334");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbesOnFixtures,
    testing::Values(ProbeCase{"VirtioNodeMissing", BuildVirtio, "1136632498710136", ""},
                    ProbeCase{"VirtioNodeRefused", BuildVirtioNodeRefused, "1136632498710136", ""},
                    ProbeCase{"HexLookingSerialDecodes", BuildHexLookingSerial, "ABCD1234", ""},
                    ProbeCase{"SataPassThroughFails", BuildSataPassThroughFails, "SN-SATA-0001",
                              "QEMU HARDDISK"},
                    ProbeCase{"Nvme", BuildNvme, "S4EWNX0R123456", "Samsung SSD 970 EVO Plus 1TB"},
                    ProbeCase{"NoSerialAnywhere", BuildBareScsi, "", ""}),
    [](const testing::TestParamInfo<ProbeCase>& param) { return param.param.name; });

// --- Pure byte functions ------------------------------------------------------------

TEST(AtaPassThroughCdb, IsPioDataInOfOneBlockWithCkCondClear) {
    EXPECT_EQ(test::ToHex(linux_backend::BuildAtaPassThroughCdb(ID_CMD)),
              "85"              // ATA PASS-THROUGH(16)
              "08"              // protocol 4: PIO data-in
              "0E"              // T_DIR from the device, BYTE_BLOCK, T_LENGTH in the count
              "000000"          // features
              "01"              // sector count: one block
              "00000000000000"  // LBA and device
              "EC00");          // command, control
    const auto packet = linux_backend::BuildAtaPassThroughCdb(ATAPI_ID_CMD);
    EXPECT_EQ(packet[14], 0xA1);
    EXPECT_EQ(packet[2] & 0x20, 0) << "CK_COND";
    EXPECT_EQ(test::ToHex(linux_backend::BuildInquiryCdb(0x80, 252)), "12018000FC00");
}

struct SenseCase {
    const char* name;
    const char* hex;
    bool valid;
    int senseKey;
    bool hasAta;
    int ataStatus;
    int ataError;
};

class SenseParsing : public testing::TestWithParam<SenseCase> {};

TEST_P(SenseParsing, ReadsFixedAndDescriptorFormats) {
    const SenseCase& c = GetParam();
    const std::vector<std::uint8_t> sense = FromHex(c.hex);
    const linux_backend::SenseInfo info = linux_backend::ParseSense(sense);
    EXPECT_EQ(info.valid, c.valid);
    EXPECT_EQ(info.senseKey, c.senseKey);
    EXPECT_EQ(info.hasAtaRegisters, c.hasAta);
    EXPECT_EQ(info.ataStatus, c.ataStatus);
    EXPECT_EQ(info.ataError, c.ataError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenseParsing,
    testing::Values(
        SenseCase{"Empty", "", false, 0, false, 0, 0},
        SenseCase{"UnknownFormat", "7F00000000000000", false, 0, false, 0, 0},
        SenseCase{"FixedIllegalRequest", "70000500000000 0A00000000 2400 000000", true, 5, false, 0,
                  0},
        // Fixed, ATA PASS-THROUGH INFORMATION AVAILABLE: ERROR 04, STATUS 51.
        SenseCase{"FixedWithAtaRegisters", "70000104 51A0010A 00000000 001D0000", true, 1, true,
                  0x51, 0x04},
        SenseCase{"FixedTooShortForRegisters", "70000104 5100", true, 1, false, 0, 0},
        // Descriptor: ATA Status Return descriptor with STATUS 50.
        SenseCase{"DescriptorWithAtaStatus", "7201001D 0000000E 090C0000 00010000 00000000 A050",
                  true, 1, true, 0x50, 0},
        // An information descriptor (00) first, then the ATA one with ERROR 04, STATUS 51.
        SenseCase{"DescriptorAfterAnother",
                  "720B0000 0000001A 000A8000 00000000 00000000 090C0004 00010000 00000000 A051",
                  true, 0x0B, true, 0x51, 0x04},
        // The ATA descriptor claims more than the additional length holds.
        SenseCase{"DescriptorCut", "72010000 00000008 090C0000 00010000", true, 1, false, 0, 0},
        // The additional length claims more than the bytes given.
        SenseCase{"AdditionalLengthPastTheData", "72010000 000000FF 090C0000 0001", true, 1, false,
                  0, 0},
        SenseCase{"DescriptorHeaderOnly", "720500", false, 0, false, 0, 0}),
    [](const testing::TestParamInfo<SenseCase>& param) { return param.param.name; });

struct OutcomeCase {
    const char* name;
    linux_backend::ScsiOutcome outcome;
    const char* senseHex;
    bool succeeded;
};

class PassThroughOutcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(PassThroughOutcome, AcceptsOnlyCleanCompletions) {
    const OutcomeCase& c = GetParam();
    const std::vector<std::uint8_t> sense = FromHex(c.senseHex);
    EXPECT_EQ(linux_backend::AtaPassThroughSucceeded(c.outcome, sense), c.succeeded);
}

constexpr char kAtaOkSense[] = "7201001D 0000000E 090C0000 00010000 00000000 A050";
constexpr char kAtaErrSense[] = "7201001D 0000000E 090C0004 00010000 00000000 A051";
constexpr char kAtaDfSense[] = "7201001D 0000000E 090C0000 00010000 00000000 A070";

INSTANTIATE_TEST_SUITE_P(
    Cases, PassThroughOutcome,
    testing::Values(OutcomeCase{"Good", {0, 0, 0, 0}, "", true},
                    OutcomeCase{"GoodWithSenseFlag", {0, 0, 0x08, 0}, "", true},
                    OutcomeCase{"GoodButShort", {0, 0, 0, 512}, "", false},
                    OutcomeCase{"GoodButPartlyShort", {0, 0, 0, 2}, "", false},
                    OutcomeCase{"HostError", {0, 0x01, 0, 0}, "", false},
                    OutcomeCase{"DriverTimeout", {0, 0, 0x06, 0}, "", false},
                    OutcomeCase{"Busy", {0x08, 0, 0, 0}, "", false},
                    OutcomeCase{"CheckConditionAtaOk", {0x02, 0, 0x08, 0}, kAtaOkSense, true},
                    OutcomeCase{"CheckConditionAtaErr", {0x02, 0, 0x08, 0}, kAtaErrSense, false},
                    OutcomeCase{
                        "CheckConditionAtaDeviceFault", {0x02, 0, 0x08, 0}, kAtaDfSense, false},
                    OutcomeCase{"CheckConditionIllegalRequest",
                                {0x02, 0, 0x08, 0},
                                "70000500000000 0A00000000 2000 000000",
                                false},
                    OutcomeCase{"CheckConditionWithoutSense", {0x02, 0, 0x08, 0}, "", false},
                    OutcomeCase{"GoodWithErrInSense", {0, 0, 0x08, 0}, kAtaErrSense, false}),
    [](const testing::TestParamInfo<OutcomeCase>& param) { return param.param.name; });

TEST(HdioIdentity, PutsTheStringsBackInAtaWordOrder) {
    // As HDIO_GET_IDENTITY hands it over: numbers little-endian (x86),
    // strings in reading order.
    std::array<std::uint8_t, 512> data{};
    data[0] = 0x40;  // word 0: fixed ATA device
    data[2 * 9] = 0x12;
    data[2 * 9 + 1] = 0x34;
    const std::string serial = "SN-0123456789ABCDE  ";              // words 10-19
    const std::string firmware = "FW1.0   ";                        // words 23-26
    const std::string model = "MODEL NAME" + std::string(30, ' ');  // words 27-46
    std::memcpy(&data[20], serial.data(), 20);
    std::memcpy(&data[46], firmware.data(), 8);
    std::memcpy(&data[54], model.data(), 40);
    data[2 * 47] = 0x80;
    data[2 * 47 + 1] = 0x01;
    linux_backend::HdioIdentityToAtaOrder(data);

    EXPECT_EQ(test::ToHex(std::span(data).subspan(20, 4)), "4E53302D");  // "NS0-"
    EXPECT_EQ(data[0], 0x40);
    EXPECT_EQ(data[18], 0x12) << "word 9 is a number";
    EXPECT_EQ(data[94], 0x80) << "word 47 is a number";
    EXPECT_EQ(test::ToHex(std::span(data).subspan(46, 4)), "57462E31");  // "WF.1"

    // What the SMART probe reads from the words.
    std::uint32_t words[256];
    for (std::size_t i = 0; i < 256; ++i) {
        words[i] = data[2 * i] | static_cast<std::uint32_t>(data[2 * i + 1]) << 8;
    }
    DiskIdentity identity{};
    ExtractIdentifyStrings(identity, words);
    EXPECT_EQ(TextOf(identity.serialText), "SN-0123456789ABCDE");
    EXPECT_EQ(TextOf(identity.modelText), "MODELNAME");
}

struct PageCase {
    const char* name;
    const char* hex;
    bool ok;
    const char* serial;
};

class UnitSerialPageParsing : public testing::TestWithParam<PageCase> {};

TEST_P(UnitSerialPageParsing, TakesTheSerialAfterTheHeader) {
    const PageCase& c = GetParam();
    const std::vector<std::uint8_t> page = FromHex(c.hex);
    char serial[linux_backend::kStringSize];
    std::memset(serial, 'x', sizeof serial);
    EXPECT_EQ(linux_backend::UnitSerialFromPage(page, serial), c.ok);
    EXPECT_STREQ(serial, c.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitSerialPageParsing,
    testing::Values(PageCase{"Plain", "00800004 41424344", true, "ABCD"},
                    PageCase{"ShorterThanDeclared", "00800010 4142", true, "AB"},
                    PageCase{"LongerThanDeclared", "00800002 41424344", true, "AB"},
                    PageCase{"ZeroPadded", "00800004 41420000", true, "AB"},
                    PageCase{"EmptyPage", "00800000", true, ""},
                    PageCase{"OtherPage", "00830004 41424344", false, ""},
                    PageCase{"HeaderCut", "008000", false, ""}, PageCase{"Nothing", "", false, ""}),
    [](const testing::TestParamInfo<PageCase>& param) { return param.param.name; });

TEST(UnitSerialPageParsing, TooLongForTheStringIsRefused) {
    std::vector<std::uint8_t> page = {0x00, 0x80, 0x01, 0x2C};  // 300 bytes
    page.resize(4 + 300, 'A');
    char serial[linux_backend::kStringSize];
    EXPECT_FALSE(linux_backend::UnitSerialFromPage(page, serial));
    EXPECT_STREQ(serial, "");
}

struct DecimalCase {
    const char* text;
    bool ok;
    std::uint64_t value;
};

TEST(Decimal, ParsesSysfsNumbersOnly) {
    const DecimalCase cases[] = {
        {"123\n", true, 123},
        {"0", true, 0},
        {"18446744073709551615\n", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"\n", false, 0},
        {" 1", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
        {"1\n\n", false, 0},
    };
    for (const DecimalCase& c : cases) {
        std::uint64_t value = 0;
        EXPECT_EQ(linux_backend::ParseDecimal(std::span(c.text, std::strlen(c.text)), value), c.ok)
            << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

// Ending the read at a line feed saves a read; it never cuts what one read
// brought.
TEST(BoundedReader, LineFeedEndsTheReadNotTheText) {
    Tree tree;
    tree.File("two-lines", "abc\ndef\n");
    tree.File("no-line-feed", "overlayblk");
    tree.File("number", "512\n4096\n");
    char text[16];
    EXPECT_EQ(linux_backend::ReadTextAttribute(tree.At("two-lines").c_str(), text), 7u);
    EXPECT_STREQ(text, "abc\ndef");
    EXPECT_EQ(linux_backend::ReadTextAttribute(tree.At("no-line-feed").c_str(), text), 10u);
    EXPECT_STREQ(text, "overlayblk");
    std::uint64_t value = 0;
    EXPECT_FALSE(linux_backend::ReadDecimalAttribute(tree.At("number").c_str(), value));
}

struct LinkCase {
    const char* name;
    const char* target;    // nullptr: a directory, no link; "": nothing there
    const char* expected;  // relative to the tree; nullptr: false
};

TEST(SysfsLink, OneStepGivesTheRealPath) {
    const LinkCase cases[] = {
        {"Relative", "../../devices/pci0/block/vda", "sys/devices/pci0/block/vda"},
        {"DotsAndDoubleSlashes", "./..//../devices/./pci0/block/vda/",
         "sys/devices/pci0/block/vda"},
        {"NoLink", nullptr, "sys/dev/block/entry"},
        {"Nothing", "", nullptr},
        // A target that is itself missing still names where it would be.
        {"Dangling", "../../devices/gone", "sys/devices/gone"},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        tree.Dir("sys/devices/pci0/block/vda");
        if (c.target == nullptr) {
            tree.Dir("sys/dev/block/entry");
        } else if (c.target[0] != '\0') {
            tree.LinkText("sys/dev/block/entry", c.target);
        }
        linux_backend::Path out;
        const bool ok =
            linux_backend::ResolveSysfsLink(tree.At("sys/dev/block/entry").c_str(), out);
        ASSERT_EQ(ok, c.expected != nullptr) << out.text;
        if (ok) {
            EXPECT_EQ(std::string(out.text), tree.At(c.expected));
        }
    }
}

TEST(SysfsLink, AbsoluteTargetsAndClimbsAboveTheRoot) {
    Tree tree;
    tree.LinkText("sys/absolute", "/sys/devices/x");
    linux_backend::Path out;
    ASSERT_TRUE(linux_backend::ResolveSysfsLink(tree.At("sys/absolute").c_str(), out));
    EXPECT_STREQ(out.text, "/sys/devices/x");
    std::string climb;
    for (int i = 0; i < 40; ++i) {
        climb += "../";
    }
    tree.LinkText("sys/above", climb + "x");
    EXPECT_FALSE(linux_backend::ResolveSysfsLink(tree.At("sys/above").c_str(), out));
    EXPECT_STREQ(out.text, "");
}

TEST(PathFormat, BuildsFromTextsAndNumbersOnly) {
    linux_backend::Path path;
    ASSERT_TRUE(linux_backend::FormatPath(path.text, "%s/dev/block/%u:%u", "/sys", 259u, 0u));
    EXPECT_STREQ(path.text, "/sys/dev/block/259:0");
    ASSERT_TRUE(linux_backend::FormatPath(path.text, "100%% %u", 4294967295u));
    EXPECT_STREQ(path.text, "100% 4294967295");
    char small[8];
    EXPECT_TRUE(linux_backend::FormatPath(small, "%s", "1234567"));
    EXPECT_STREQ(small, "1234567");
    EXPECT_FALSE(linux_backend::FormatPath(small, "%s", "12345678"));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(linux_backend::FormatPath(small, "%u", 123456789u));
    EXPECT_STREQ(small, "");
    // A conversion that no path needs is refused, not guessed at.
    EXPECT_FALSE(linux_backend::FormatPath(path.text, "%d", 1));
    EXPECT_STREQ(path.text, "");
}

TEST(BoundedReader, ReportsOversizedAndMissingFiles) {
    Tree tree;
    tree.File("exact", std::string(16, 'a'));
    tree.File("over", std::string(17, 'a'));
    std::uint8_t buffer[16];
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("exact").c_str(), buffer).status,
              linux_backend::ReadStatus::kOk);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("exact").c_str(), buffer).length, 16u);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("over").c_str(), buffer).status,
              linux_backend::ReadStatus::kOversized);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("none").c_str(), buffer).status,
              linux_backend::ReadStatus::kMissing);
    EXPECT_EQ(linux_backend::ReadFileBounded(tree.At("sys").c_str(), buffer).status,
              linux_backend::ReadStatus::kMissing);
}

}  // namespace
}  // namespace hwid
