#include "platform/linux/device_services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "crypto/byte_order.h"
#include "platform/linux/ata.h"
#include "platform/linux/disk_info.h"
#include "platform/linux/disk_selection.h"
#include "platform/linux/errors.h"
#include "platform/platform.h"

namespace hwid {
namespace {

using linux_backend::DescriptorStrings;
using linux_backend::DiskBus;
using linux_backend::DiskInfo;
using linux_backend::FormatPath;
using linux_backend::Path;

constexpr char kDriveZeroPath[] = "\\\\.\\PhysicalDrive0";
constexpr DWORD kSmartReplyBytes = offsetof(SENDCMDOUTPARAMS, bBuffer) + IDENTIFY_BUFFER_SIZE;
constexpr DWORD kGeometryBytes = offsetof(DISK_GEOMETRY_EX, DiskSize) + sizeof(LARGE_INTEGER);
// PropertyId and QueryType; the additional parameters are optional.
constexpr DWORD kMinimumQueryBytes = 8;

// Object names are case-insensitive on Windows.
bool IsDriveZeroPath(const char* fileName) {
    std::size_t i = 0;
    for (; kDriveZeroPath[i] != '\0'; ++i) {
        const auto a = static_cast<unsigned char>(fileName[i]);
        const auto b = static_cast<unsigned char>(kDriveZeroPath[i]);
        const auto lower = [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
        };
        if (a == '\0' || lower(a) != lower(b)) {
            return false;
        }
    }
    return fileName[i] == '\0';
}

bool Copy(linux_backend::Path& out, std::string_view text) {
    if (text.size() >= sizeof out.text) {
        out.text[0] = '\0';
        return false;
    }
    std::memcpy(out.text, text.data(), text.size());
    out.text[text.size()] = '\0';
    return true;
}

bool GrantsRead(DWORD access) {
    return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}

bool GrantsWrite(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
}

// The access that a control code asks of the handle (its bits 14-15).
bool AccessAllows(DWORD code, DWORD access) {
    const DWORD required = (code >> 14) & 3;
    return ((required & FILE_READ_ACCESS) == 0 || GrantsRead(access)) &&
           ((required & FILE_WRITE_ACCESS) == 0 || GrantsWrite(access));
}

// Keeps the resource failure that the C library calls of one operation met.
class ResourceLatch {
  public:
    explicit ResourceLatch(int& kept) : kept_(kept) { linux_backend::TakeResourceFailure(); }
    ~ResourceLatch() {
        const int error = linux_backend::TakeResourceFailure();
        if (kept_ == 0) {
            kept_ = error;
        }
    }
    ResourceLatch(const ResourceLatch&) = delete;
    ResourceLatch& operator=(const ResourceLatch&) = delete;

  private:
    int& kept_;
};

bool IsLibataDevice(const DiskInfo& info) {
    return info.bus == DiskBus::kScsi && info.libata;
}

DWORD SmartGetVersion(const DiskInfo& info, void* out, DWORD outSize, DWORD& written) {
    if (out == nullptr || outSize < sizeof(GETVERSIONINPARAMS)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (!IsLibataDevice(info)) {
        return ERROR_INVALID_FUNCTION;
    }
    GETVERSIONINPARAMS version;
    std::memset(&version, 0, sizeof version);
    version.bVersion = 1;
    version.bRevision = 1;
    version.bIDEDeviceMap = linux_backend::IdeDeviceMapBit(info);
    version.fCapabilities = version.bIDEDeviceMap == 0x10 ? CAP_ATAPI_ID_CMD : CAP_ATA_ID_CMD;
    std::memcpy(out, &version, sizeof version);
    written = sizeof version;
    return ERROR_SUCCESS;
}

DWORD SmartReceiveDriveData(const DiskInfo& info, int fd, linux_backend::DeviceRequests& requests,
                            const void* in, DWORD inSize, void* out, DWORD outSize,
                            DWORD& written) {
    // The request without its one-byte bBuffer.
    if (in == nullptr || inSize < offsetof(SENDCMDINPARAMS, bBuffer)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (out == nullptr || outSize < kSmartReplyBytes) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    SENDCMDINPARAMS request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(&request, in, offsetof(SENDCMDINPARAMS, bBuffer));
    const BYTE command = request.irDriveRegs.bCommandReg;
    if (command != ID_CMD && command != ATAPI_ID_CMD) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsLibataDevice(info)) {
        return ERROR_INVALID_FUNCTION;
    }
    std::uint8_t data[linux_backend::kIdentifySize];
    const DWORD error =
        linux_backend::ReadIdentifyData(fd, info.deviceDir.text, command, data, requests);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::uint8_t reply[kSmartReplyBytes] = {};
    SENDCMDOUTPARAMS header;
    std::memset(&header, 0, sizeof header);
    header.cBufferSize = IDENTIFY_BUFFER_SIZE;
    std::memcpy(reply, &header, offsetof(SENDCMDOUTPARAMS, bBuffer));
    std::memcpy(reply + offsetof(SENDCMDOUTPARAMS, bBuffer), data, sizeof data);
    std::memcpy(out, reply, sizeof reply);
    written = sizeof reply;
    return ERROR_SUCCESS;
}

DWORD QueryStorageProperty(const DiskInfo& info, int fd, linux_backend::DeviceRequests& requests,
                           const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& written,
                           linux_backend::SerialSource& source) {
    source = linux_backend::SerialSource::kNone;
    if (in == nullptr || inSize < kMinimumQueryBytes) {
        return ERROR_INVALID_PARAMETER;
    }
    std::uint8_t query[kMinimumQueryBytes];
    std::memcpy(query, in, sizeof query);
    const auto field = [&query](std::size_t at) { return LoadLittleEndian32(query, at); };
    if (field(offsetof(STORAGE_PROPERTY_QUERY, PropertyId)) != StorageDeviceProperty) {
        return ERROR_NOT_SUPPORTED;
    }
    if (field(offsetof(STORAGE_PROPERTY_QUERY, QueryType)) != PropertyStandardQuery) {
        return ERROR_INVALID_PARAMETER;
    }
    DescriptorStrings strings;
    linux_backend::CollectDescriptorStrings(info, fd, requests, strings);
    source = strings.serialSource;
    if (strings.vendor[0] == '\0' && strings.product[0] == '\0' && strings.revision[0] == '\0' &&
        strings.serial[0] == '\0' && !linux_backend::IsDirectory(info.blockDir.text)) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    const std::span<std::uint8_t> reply(static_cast<std::uint8_t*>(out),
                                        out != nullptr ? outSize : 0);
    return linux_backend::BuildDeviceDescriptor(strings, linux_backend::DescriptorFieldsOf(info),
                                                reply, written);
}

DWORD GetDriveGeometryEx(const DiskInfo& info, void* out, DWORD outSize, DWORD& written) {
    if (out == nullptr || outSize < kGeometryBytes) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::uint64_t bytes = 0;
    std::uint32_t blockSize = 0;
    if (!linux_backend::ReadDiskSize(info, bytes, blockSize)) {
        return linux_backend::IsDirectory(info.blockDir.text) ? ERROR_NOT_READY
                                                              : ERROR_DEVICE_NOT_CONNECTED;
    }
    std::uint8_t geometry[kGeometryBytes];
    linux_backend::BuildGeometry(bytes, blockSize, info.removable, geometry);
    std::memcpy(out, geometry, sizeof geometry);
    written = sizeof geometry;
    return ERROR_SUCCESS;
}

// The bus for hwid-explain.
const char* BusName(const DiskInfo& info) {
    if (info.usbDir.text[0] != '\0') {
        return "usb";
    }
    switch (info.bus) {
        case DiskBus::kNvme:
            return "nvme";
        case DiskBus::kVirtio:
            return "virtio";
        case DiskBus::kScsi:
            return info.libata ? "ata" : "scsi";
        case DiskBus::kOther:
            break;
    }
    return "";
}

}  // namespace

LinuxDeviceServices::LinuxDeviceServices(std::string_view sysfsRoot, std::string_view devRoot,
                                         std::string_view mountinfoPath,
                                         std::string_view rootPath) {
    rootsFit_ = Copy(sysfsRoot_, sysfsRoot) && Copy(devRoot_, devRoot) &&
                Copy(mountinfoPath_, mountinfoPath) && Copy(rootPath_, rootPath);
    deviceRequests_.devRoot = devRoot_.text;
}

LinuxDeviceServices::~LinuxDeviceServices() {
    for (HandleSlot& slot : handles_) {
        if (slot.id != 0 && slot.fd >= 0) {
            ::close(slot.fd);
        }
    }
}

BOOL LinuxDeviceServices::GetVersionExW(OSVERSIONINFOW* versionInfo) {
    linux_backend::ForgetMappedErrno();
    if (versionInfo == nullptr) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (versionInfo->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
        lastError_ = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memset(versionInfo, 0, sizeof *versionInfo);
    versionInfo->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    // What GetVersionExW tells a program without a compatibility manifest.
    versionInfo->dwMajorVersion = 6;
    versionInfo->dwMinorVersion = 2;
    versionInfo->dwBuildNumber = 9200;
    versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return 1;
}

HANDLE LinuxDeviceServices::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, void*,
                                        DWORD creationDisposition, DWORD, HANDLE) {
    linux_backend::ForgetMappedErrno();
    const ResourceLatch latch(resourceFailure_);
    const auto fail = [this](DWORD error) {
        lastError_ = error;
        return INVALID_HANDLE_VALUE;
    };
    const DWORD refusal = CheckOpenRequest(fileName, creationDisposition);
    if (refusal != ERROR_SUCCESS) {
        return fail(refusal);
    }
    HandleSlot* slot = FreeSlot();
    if (slot == nullptr) {
        return fail(ERROR_TOO_MANY_OPEN_FILES);
    }
    if (!ChooseDriveZero()) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    Path node;
    if (!NodePath(node)) {
        return fail(ERROR_FILENAME_EXCED_RANGE);
    }
    int openError = 0;
    const int fd = OpenNode(node, openError);
    if (fd < 0) {
        if (desiredAccess != 0) {
            return fail(linux_backend::ErrnoToWindowsError(openError));
        }
        // No rights asked for: the sysfs entry alone answers the queries.
        if (!ReadDriveZeroInfo()) {
            return fail(ERROR_FILE_NOT_FOUND);
        }
    }
    slot->id = nextHandle_;
    nextHandle_ += 4;
    slot->fd = fd;
    slot->access = desiredAccess;
    return reinterpret_cast<HANDLE>(slot->id);
}

DWORD LinuxDeviceServices::CheckOpenRequest(const char* fileName, DWORD creationDisposition) const {
    if (fileName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!rootsFit_) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (!IsDriveZeroPath(fileName)) {
        return ERROR_FILE_NOT_FOUND;
    }
    // A disk can only be opened, not created or truncated.
    if (creationDisposition != OPEN_EXISTING) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

LinuxDeviceServices::HandleSlot* LinuxDeviceServices::FreeSlot() {
    for (HandleSlot& slot : handles_) {
        if (slot.id == 0) {
            return &slot;
        }
    }
    return nullptr;
}

int LinuxDeviceServices::OpenNode(const Path& node, int& openError) {
    // Read-only whatever was asked: nothing is ever written to a disk.
    int fd = -1;
    openError = nodeRefusal_;
    if (openError == 0) {
        fd = ::open(node.text, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        openError = fd < 0 ? errno : CheckNode(fd);
        if (fd < 0) {
            linux_backend::NoteCallFailure(openError);
        }
        // Refusals stick for the run, like the choice of the disk; a failure
        // that may pass (EINTR, EAGAIN, too many files) is tried again.
        if (openError == EACCES || openError == EPERM || openError == ENOENT ||
            openError == ENXIO || openError == ENODEV || openError == ENOMEDIUM) {
            nodeRefusal_ = openError;
        }
    }
    if (fd >= 0 && openError != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

int LinuxDeviceServices::CheckNode(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        linux_backend::NoteCallFailure(errno);
        return EISDIR;
    }
    if (S_ISDIR(info.st_mode)) {
        // A directory is no disk; Windows refuses to open one as a file.
        return EISDIR;
    }
    // The node must be the disk that sysfs describes: a node re-created with
    // another disk's numbers, or /dev mapped apart from /sys in a container,
    // would have the requests read another disk than the one described.
    if (!S_ISBLK(info.st_mode) || !ReadDriveZeroNumber() || info.st_rdev != driveZeroNumber_) {
        return ENODEV;
    }
    return 0;
}

bool LinuxDeviceServices::ReadDriveZeroNumber() {
    if (driveZeroNumberRead_) {
        return true;
    }
    // <disk>/dev holds "major:minor".
    Path attribute;
    char text[32];
    if (!FormatPath(attribute.text, "%s/dev", driveZero_.dir.text) ||
        linux_backend::ReadTextAttribute(attribute.text, text) == 0) {
        return false;
    }
    const char* colon = std::strchr(text, ':');
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (colon == nullptr ||
        !linux_backend::ParseDecimal(std::span<const char>(text, colon), major) ||
        !linux_backend::ParseDecimal(std::span<const char>(colon + 1, std::strlen(colon + 1)),
                                     minor) ||
        major > UINT32_MAX || minor > UINT32_MAX) {
        return false;
    }
    driveZeroNumber_ = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
    driveZeroNumberRead_ = true;
    return true;
}

BOOL LinuxDeviceServices::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                          DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                          DWORD* bytesReturned, void*) {
    linux_backend::ForgetMappedErrno();
    const ResourceLatch latch(resourceFailure_);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    const HandleSlot* slot = Find(device);
    if (slot == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    DWORD written = 0;
    const DWORD error =
        Dispatch(*slot, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, written);
    if (error != ERROR_SUCCESS) {
        lastError_ = error;
        return 0;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = written;
    }
    return 1;
}

DWORD LinuxDeviceServices::Dispatch(const HandleSlot& slot, DWORD code, const void* in,
                                    DWORD inSize, void* out, DWORD outSize, DWORD& written) {
    if (code != SMART_GET_VERSION && code != SMART_RCV_DRIVE_DATA &&
        code != IOCTL_STORAGE_QUERY_PROPERTY && code != IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
        return ERROR_INVALID_FUNCTION;
    }
    if (!AccessAllows(code, slot.access)) {
        return ERROR_ACCESS_DENIED;
    }
    // What sysfs says about the disk is read once; a disk whose entry has gone
    // since is no longer connected. The property and geometry requests find
    // that out when their reads come back empty, and look only then.
    const bool smart = code == SMART_GET_VERSION || code == SMART_RCV_DRIVE_DATA;
    if ((!driveZeroInfoRead_ || smart) && !ReadDriveZeroInfo()) {
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    const DiskInfo& info = driveZeroInfo_;
    switch (code) {
        case SMART_GET_VERSION:
            return SmartGetVersion(info, out, outSize, written);
        case SMART_RCV_DRIVE_DATA:
            return SmartReceiveDriveData(info, slot.fd, deviceRequests_, in, inSize, out, outSize,
                                         written);
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return QueryStorageProperty(info, slot.fd, deviceRequests_, in, inSize, out, outSize,
                                        written, serialSource_);
        default:
            return GetDriveGeometryEx(info, out, outSize, written);
    }
}

// Chosen once: as on Windows, the disk that is drive 0 does not change within
// a run, and both probes open it.
bool LinuxDeviceServices::ChooseDriveZero() {
    if (driveZero_.name.text[0] != '\0') {
        return true;
    }
    if (!linux_backend::SelectDriveZero(sysfsRoot_.text, devRoot_.text, rootPath_.text,
                                        mountinfoPath_.text, driveZero_, &driveZeroUnderRoot_)) {
        driveZero_.name.text[0] = '\0';
        return false;
    }
    return true;
}

bool LinuxDeviceServices::NodePath(Path& node) const {
    // Kernel names stand for /dev paths with '!' in place of '/' (cciss!c0d0).
    linux_backend::Name nodeName = driveZero_.name;
    for (char* c = nodeName.text; *c != '\0'; ++c) {
        if (*c == '!') {
            *c = '/';
        }
    }
    return FormatPath(node.text, "%s/%s", devRoot_.text, nodeName.text);
}

void LinuxDeviceServices::DescribeDriveZero(DriveZeroDescription& description) {
    const ResourceLatch latch(resourceFailure_);
    description = DriveZeroDescription{};
    const auto say = [&description](const char* text) {
        std::snprintf(description.reason, sizeof description.reason, "%s", text);
    };
    Path node;
    if (!rootsFit_) {
        return say("the sysfs, /dev or mount table path is too long");
    }
    if (!ChooseDriveZero()) {
        std::snprintf(description.reason, sizeof description.reason,
                      "no whole disk under %s/block outside loop, ram, zram, nbd, md, dm, sr, fd",
                      sysfsRoot_.text);
        return;
    }
    if (!NodePath(node)) {
        return say("the path of the disk's device node is too long");
    }
    description.found = true;
    std::snprintf(description.path, sizeof description.path, "%s", node.text);
    if (ReadDriveZeroInfo()) {
        std::snprintf(description.bus, sizeof description.bus, "%s", BusName(driveZeroInfo_));
    }
    say(driveZeroUnderRoot_ ? "the whole disk under the root file system"
                            : "no disk holds the root file system: the first whole disk by name");
}

bool LinuxDeviceServices::ReadDriveZeroInfo() {
    if (driveZeroInfoRead_) {
        return linux_backend::IsDirectory(driveZeroInfo_.blockDir.text);
    }
    driveZeroInfoRead_ = linux_backend::ReadDiskInfo(driveZero_, driveZeroInfo_);
    return driveZeroInfoRead_;
}

DWORD LinuxDeviceServices::ResourceFailure() {
    return resourceFailure_ != 0 ? linux_backend::ErrnoToWindowsError(resourceFailure_)
                                 : ERROR_SUCCESS;
}

DWORD LinuxDeviceServices::GetLastError() {
    return lastError_;
}

BOOL LinuxDeviceServices::CloseHandle(HANDLE object) {
    linux_backend::ForgetMappedErrno();
    HandleSlot* slot = Find(object);
    if (slot == nullptr) {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (slot->fd >= 0) {
        ::close(slot->fd);
    }
    *slot = HandleSlot{};
    return 1;
}

bool LinuxDeviceServices::DescribeLastError(char* text, std::size_t size) {
    const int error = linux_backend::LastMappedErrno();
    if (error == 0 || linux_backend::ErrnoToWindowsError(error) != lastError_) {
        return false;
    }
    linux_backend::DescribeErrno(error, text, size);
    return true;
}

bool LinuxDeviceServices::DescribeSerialSource(char* text, std::size_t size) {
    using linux_backend::SerialSource;
    const char* disk = driveZeroInfo_.name.text;
    switch (serialSource_) {
        case SerialSource::kBlock:
            return std::snprintf(text, size, "%s/block/%s/serial", sysfsRoot_.text, disk) > 0;
        case SerialSource::kDevice:
            return std::snprintf(text, size, "%s/block/%s/device/serial", sysfsRoot_.text, disk) >
                   0;
        case SerialSource::kUsb:
            return std::snprintf(text, size, "%s/serial", driveZeroInfo_.usbDir.text) > 0;
        case SerialSource::kUnitSerialPage:
            return std::snprintf(text, size, "%s/block/%s/device/vpd_pg80", sysfsRoot_.text, disk) >
                   0;
        case SerialSource::kInquiry:
            return std::snprintf(text, size,
                                 "SCSI INQUIRY for the unit serial number page of %s/%s",
                                 devRoot_.text, disk) > 0;
        default:
            return false;
    }
}

std::size_t LinuxDeviceServices::OpenHandleCount() const {
    std::size_t count = 0;
    for (const HandleSlot& slot : handles_) {
        count += slot.id != 0 ? 1 : 0;
    }
    return count;
}

bool LinuxDeviceServices::HoldsDeviceNode(HANDLE handle) const {
    const HandleSlot* slot = Find(handle);
    return slot != nullptr && slot->fd >= 0;
}

LinuxDeviceServices::HandleSlot* LinuxDeviceServices::Find(HANDLE handle) {
    const auto id = reinterpret_cast<std::uintptr_t>(handle);
    if (id == 0) {
        return nullptr;
    }
    for (HandleSlot& slot : handles_) {
        if (slot.id == id) {
            return &slot;
        }
    }
    return nullptr;
}

const LinuxDeviceServices::HandleSlot* LinuxDeviceServices::Find(HANDLE handle) const {
    return const_cast<LinuxDeviceServices*>(this)->Find(handle);
}

DeviceServices& PlatformDeviceServices() {
    // Built on first use, not by a constructor at start-up.
    static LinuxDeviceServices services("/sys", "/dev", "/proc/self/mountinfo", "/");
    return services;
}

static_assert(sizeof(LinuxDeviceServices) <= FreshPlatformDeviceServices::kStorageSize);
static_assert(alignof(LinuxDeviceServices) <= alignof(std::max_align_t));

FreshPlatformDeviceServices::FreshPlatformDeviceServices()
    : services_(new (storage_) LinuxDeviceServices("/sys", "/dev", "/proc/self/mountinfo", "/")) {}

FreshPlatformDeviceServices::~FreshPlatformDeviceServices() {
    services_->~DeviceServices();
}

}  // namespace hwid
