// Which disk is drive 0: the root's disk through partitions, dm and md, the
// first disk by name otherwise, and the description hwid-explain gets.
#include "linux_fixtures.h"

namespace hwid {
namespace {

using namespace linux_fixtures;
using test::FromHex;

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

}  // namespace
}  // namespace hwid
