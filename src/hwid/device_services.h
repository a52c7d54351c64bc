// The one seam between the disk probes and the platform: the five kernel32
// operations they use, with kernel32's parameters and results. Back ends:
// Windows (kernel32 itself), Linux (answers the same requests from Linux
// interfaces) and a scripted one for tests. Beside the five, optional queries
// for hwid-explain, which the probes never make.
#pragma once

#include <cstddef>
#include <cstdio>

#include "hwid/windows_types.h"

namespace hwid {

// Which disk a back end treats as physical drive 0, and why.
struct DriveZeroDescription {
    bool found;
    char path[256];    // the device path, or the name drive 0 goes by
    char bus[32];      // "ata", "nvme", "virtio", "scsi", "usb", or empty when unknown
    char reason[160];  // why this disk
};

class DeviceServices {
  public:
    virtual ~DeviceServices() = default;

    virtual BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) = 0;
    virtual HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                               void* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                 DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                 DWORD* bytesReturned, void* overlapped) = 0;
    virtual DWORD GetLastError() = 0;
    virtual BOOL CloseHandle(HANDLE object) = 0;

    // For hwid-explain only: the disk that \\.\PhysicalDrive0 opens, from the
    // same choice the back end makes when it opens it. A back end that cannot
    // tell says nothing is known.
    virtual void DescribeDriveZero(DriveZeroDescription& description) {
        description = DriveZeroDescription{};
        std::snprintf(description.reason, sizeof description.reason, "%s",
                      "this back end does not tell which disk is drive 0");
    }

    // The last failure in the platform's own terms ("EPERM: Operation not
    // permitted" on Linux, "error 5" on Windows) into text; false when unknown.
    virtual bool DescribeLastError(char* text, std::size_t size) {
        (void)text, (void)size;
        return false;
    }
    // Where the serial of the last storage device descriptor came from
    // ("/sys/block/vda/serial") into text; false when unknown.
    virtual bool DescribeSerialSource(char* text, std::size_t size) {
        (void)text, (void)size;
        return false;
    }

    // Optional, beside the five operations, and never asked by the probes:
    // the first failure of the machine's own resources (no descriptors or
    // handles left, no memory) that this back end met since it was made, also
    // inside calls that the operations' results do not show, as a Windows
    // error code; ERROR_SUCCESS when there was none.
    virtual DWORD ResourceFailure() { return ERROR_SUCCESS; }
};

}  // namespace hwid
