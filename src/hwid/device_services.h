// The one seam between the disk probes and the platform: the five kernel32
// operations they use, with kernel32's parameters and results. Back ends:
// Windows (kernel32 itself), Linux (answers the same requests from Linux
// interfaces) and a scripted one for tests.
#pragma once

#include <cstddef>

#include "hwid/windows_types.h"

namespace hwid {

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

    // For hwid-explain alone, never asked by the probes; a back end that
    // cannot tell keeps these defaults, which know nothing.
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
};

}  // namespace hwid
