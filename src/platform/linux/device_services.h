// The Linux back end: answers the disk probes' kernel32 requests from sysfs,
// the disk's device node (SG_IO, HDIO_GET_IDENTITY) and the mount table.
//
// \\.\PhysicalDrive0 is the disk that SelectDriveZero picks (see
// linux_disk_selection.h); every other path is ERROR_FILE_NOT_FOUND.
// CreateFileA opens the disk's node read-only, never for writing. With any
// access asked for, a node that cannot be opened fails the call; with access
// 0 the handle may stand for the disk's sysfs entry alone. A node that is no
// block device, or one whose device number is not the one that sysfs gives the
// disk, counts as a node that cannot be opened. As on Windows, a
// request whose control code needs read (or write) access is refused with
// ERROR_ACCESS_DENIED on a handle opened without it, so the SMART requests
// need GENERIC_READ | GENERIC_WRITE while the property and geometry queries
// work on any handle.
//
// Requests:
// - SMART_GET_VERSION: for a SCSI device that libata translates, bVersion 1,
//   bRevision 1, bIDEDeviceMap 0x01 (disk) or 0x10 (packet device);
//   anything else is ERROR_INVALID_FUNCTION.
// - SMART_RCV_DRIVE_DATA: IDENTIFY DEVICE or IDENTIFY PACKET DEVICE only
//   (another command is ERROR_INVALID_PARAMETER), on the same devices; the
//   reply is SENDCMDOUTPARAMS (16-byte header, 512 bytes of data).
// - IOCTL_STORAGE_QUERY_PROPERTY: StorageDeviceProperty with
//   PropertyStandardQuery only (another property is ERROR_NOT_SUPPORTED,
//   another query type ERROR_INVALID_PARAMETER); a STORAGE_DEVICE_DESCRIPTOR
//   built from sysfs. A caller's buffer that is too small gets the leading
//   bytes of the descriptor, Size telling the whole size, and offset 0 for
//   every string that did not fit; below 8 bytes, ERROR_INSUFFICIENT_BUFFER.
// - IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: geometry and size (32 bytes) when sysfs
//   knows the size, else ERROR_NOT_READY.
// - Any other code: ERROR_INVALID_FUNCTION. A disk whose sysfs entry has gone
//   since the open: ERROR_DEVICE_NOT_CONNECTED.
//
// Waiting for the disk is bounded: the requests that reach it (IDENTIFY
// through ATA PASS-THROUGH, INQUIRY for the unit serial number page) share
// 3 seconds per instance, that is per run, measured on the monotonic clock;
// a request that finds the time spent fails with ERROR_SEM_TIMEOUT unsent.
// Only the kernel's recovery of the one request that timed out can add to
// it. They go to the disk's SCSI generic node when it has one, as the block
// node raises SG_IO timeouts to 7 s (see platform/linux/ata.h). USB disks are
// never sent INQUIRY for a VPD page.
//
// Not thread-safe: the program calls it from its one thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hwid/device_services.h"
#include "platform/linux/ata.h"
#include "platform/linux/disk_info.h"
#include "platform/linux/sysfs.h"

namespace hwid {

class LinuxDeviceServices final : public DeviceServices {
  public:
    // The roots of sysfs and /dev, the mount table file and the directory
    // whose file system counts as the root ("/sys", "/dev",
    // "/proc/self/mountinfo", "/" on a running system; rootPath empty: the
    // mount table alone tells). A root too long for a path leaves every open
    // failing with ERROR_FILENAME_EXCED_RANGE.
    LinuxDeviceServices(std::string_view sysfsRoot, std::string_view devRoot,
                        std::string_view mountinfoPath, std::string_view rootPath);
    ~LinuxDeviceServices() override;
    LinuxDeviceServices(const LinuxDeviceServices&) = delete;
    LinuxDeviceServices& operator=(const LinuxDeviceServices&) = delete;

    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override;
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                         void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                         void* overlapped) override;
    DWORD GetLastError() override;
    BOOL CloseHandle(HANDLE object) override;
    // The disk that the next open of drive 0 reaches, chosen as that open
    // chooses it (once a run).
    void DescribeDriveZero(DriveZeroDescription& description) override;
    // The errno behind the last operation's failure, when one was mapped; the
    // sysfs attribute (or the INQUIRY) that gave the last descriptor's serial.
    bool DescribeLastError(char* text, std::size_t size) override;
    bool DescribeSerialSource(char* text, std::size_t size) override;
    // EMFILE and ENFILE as ERROR_TOO_MANY_OPEN_FILES, ENOMEM as
    // ERROR_NOT_ENOUGH_MEMORY: the first that any C library call of an
    // operation met, whether or not the operation failed for it.
    DWORD ResourceFailure() override;

    // Handles open now, and whether one holds the disk's device node (the
    // other kind stands for the sysfs entry alone).
    std::size_t OpenHandleCount() const;
    bool HoldsDeviceNode(HANDLE handle) const;

    static constexpr std::size_t kMaxHandles = 8;

  private:
    struct HandleSlot {
        std::uintptr_t id = 0;  // 0: free
        int fd = -1;
        DWORD access = 0;
    };

    // The steps of CreateFileA: the request itself (ERROR_SUCCESS when it
    // asks for drive 0 as it may), a free handle, the node opened.
    DWORD CheckOpenRequest(const char* fileName, DWORD creationDisposition) const;
    HandleSlot* FreeSlot();
    // A descriptor of the node, or -1 with the errno that tells why not.
    int OpenNode(const linux_backend::Path& node, int& openError);
    // 0 when the open node is drive 0's block device, with the device number
    // that sysfs gives it; else the errno to refuse it with.
    int CheckNode(int fd);
    // drive 0's device number from sysfs, read once; false when unknown.
    bool ReadDriveZeroNumber();

    HandleSlot* Find(HANDLE handle);
    const HandleSlot* Find(HANDLE handle) const;
    DWORD Dispatch(const HandleSlot& slot, DWORD code, const void* in, DWORD inSize, void* out,
                   DWORD outSize, DWORD& written);
    // Picks drive 0 once a run; false when there is none (asked again then).
    bool ChooseDriveZero();
    // drive 0's node under the /dev root; false when the path does not fit.
    bool NodePath(linux_backend::Path& node) const;
    // Reads what sysfs says about drive 0 once per run; later calls only look
    // whether it is still there. False when it is gone.
    bool ReadDriveZeroInfo();

    linux_backend::Path sysfsRoot_{};
    linux_backend::Path devRoot_{};
    linux_backend::Path mountinfoPath_{};
    linux_backend::Path rootPath_{};
    bool rootsFit_ = false;
    linux_backend::BlockDisk driveZero_{};  // empty until the first open chose it
    bool driveZeroUnderRoot_ = false;       // it holds the root file system
    dev_t driveZeroNumber_ = 0;
    bool driveZeroNumberRead_ = false;
    // The errno with which drive 0's node refused to open, 0 when it did not:
    // both probes open it with the same flags, and it would refuse again.
    int nodeRefusal_ = 0;
    linux_backend::DiskInfo driveZeroInfo_;
    bool driveZeroInfoRead_ = false;
    // Where the run's device requests go, and how long they have waited.
    linux_backend::DeviceRequests deviceRequests_{};
    std::array<HandleSlot, kMaxHandles> handles_{};
    std::uintptr_t nextHandle_ = 0x104;  // like kernel32's: multiples of 4
    DWORD lastError_ = ERROR_SUCCESS;
    linux_backend::SerialSource serialSource_ = linux_backend::SerialSource::kNone;
    int resourceFailure_ = 0;  // an errno
};

}  // namespace hwid
