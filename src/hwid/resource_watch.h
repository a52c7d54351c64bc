// A failure of the machine's own resources is not a changed machine: when the
// disk side runs out of descriptors, handles or memory, the identifier that
// the derivation would give without the serial is not this machine's, and no
// caller may be told it with success. The probes ignore failures by design;
// this decorator watches what they do not look at.
#pragma once

#include "hwid/device_services.h"

namespace hwid {

// ERROR_TOO_MANY_OPEN_FILES, ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY and
// ERROR_NO_SYSTEM_RESOURCES.
bool IsResourceError(DWORD error);

// A short text for a resource error ("too many open files", ...), for
// messages; "" for any other code.
const char* ResourceErrorText(DWORD error);

// Forwards every operation to another back end. After an operation that
// failed it asks the last error, and keeps the first resource error it sees,
// or the one the other back end reports through its own ResourceFailure.
class ResourceWatchingDeviceServices final : public DeviceServices {
  public:
    explicit ResourceWatchingDeviceServices(DeviceServices& inner) : inner_(inner) {}

    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override;
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                         void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                         void* overlapped) override;
    DWORD GetLastError() override { return inner_.GetLastError(); }
    BOOL CloseHandle(HANDLE object) override;
    void DescribeDriveZero(DriveZeroDescription& description) override {
        inner_.DescribeDriveZero(description);
    }
    bool DescribeLastError(char* text, std::size_t size) override {
        return inner_.DescribeLastError(text, size);
    }
    bool DescribeSerialSource(char* text, std::size_t size) override {
        return inner_.DescribeSerialSource(text, size);
    }
    DWORD ResourceFailure() override;

  private:
    void Look(bool failed);

    DeviceServices& inner_;
    DWORD failure_ = ERROR_SUCCESS;
};

}  // namespace hwid
