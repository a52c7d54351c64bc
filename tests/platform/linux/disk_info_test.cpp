// What sysfs says about a disk, as the storage descriptor carries it, and the
// unit serial number page.
#include "linux_fixtures.h"

namespace hwid {
namespace {

using namespace linux_fixtures;
using test::FromHex;

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
    EXPECT_EQ(LoadLittleEndian32(r.bytes, 0), 40u);
    EXPECT_EQ(LoadLittleEndian32(r.bytes, 4), kSataDescriptorSize);
    if (c.outSize >= 28) {
        for (int i = 0; i < 4; ++i) {
            const DWORD offset = LoadLittleEndian32(r.bytes, 12 + 4 * static_cast<std::size_t>(i));
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

}  // namespace
}  // namespace hwid
