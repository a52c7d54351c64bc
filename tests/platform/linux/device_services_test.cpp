// The Linux back end's five operations on fixture trees: the open of drive 0,
// handles, the version, the geometry and SMART requests, and both probes
// through it.
#include "linux_fixtures.h"

namespace hwid {
namespace {

using namespace linux_fixtures;
using test::FromHex;
using test::OpenDescriptorCount;
using test::TextOf;

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

TEST(Handles, AreDistinctNeverReusedAndCloseTheirNodes) {
    Tree tree;
    BuildVirtio(tree);
    tree.Node("vda");
    LinuxDeviceServices services = tree.Services();
    const int before = OpenDescriptorCount();
    ASSERT_GE(before, 0);
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
    EXPECT_EQ(OpenDescriptorCount(), before + static_cast<int>(LinuxDeviceServices::kMaxHandles));
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

}  // namespace
}  // namespace hwid
