// The one seam between the disk probes and the platform: the five kernel32
// operations they use, with kernel32's parameters and results. Back ends:
// Windows (kernel32 itself), Linux (answers the same requests from Linux
// interfaces) and a scripted one for tests.
#pragma once

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

    // Optional, beside the five operations, and never asked by the probes:
    // the first failure of the machine's own resources (no descriptors or
    // handles left, no memory) that this back end met since it was made, also
    // inside calls that the operations' results do not show, as a Windows
    // error code; ERROR_SUCCESS when there was none.
    virtual DWORD ResourceFailure() { return ERROR_SUCCESS; }
};

}  // namespace hwid
