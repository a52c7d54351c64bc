// A device back end that forwards every operation to another one and keeps a
// record of what happened, so that hwid-explain can tell what the probes saw
// without a second copy of their logic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "hwid/device_services.h"
#include "hwid/disk_identity.h"

namespace hwid {

enum class DeviceOperation { kGetVersion, kCreateFile, kDeviceIoControl, kCloseHandle };

struct ObservedCall {
    DeviceOperation operation;
    DWORD desiredAccess;  // kCreateFile
    DWORD controlCode;    // kDeviceIoControl
    bool succeeded;
    DWORD error;  // the last error after a failure
};

class RecordingDeviceServices final : public DeviceServices {
  public:
    explicit RecordingDeviceServices(DeviceServices& inner) : inner_(inner) {}

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

    // The calls in order; a run makes about ten, later ones are not kept.
    static constexpr std::size_t kMaxCalls = 32;
    std::array<ObservedCall, kMaxCalls> calls{};
    std::size_t callCount = 0;

    DWORD platformId = 0;
    // The reply of the last successful SMART_GET_VERSION and
    // IOCTL_STORAGE_QUERY_PROPERTY (the probe reuses its own buffer).
    GETVERSIONINPARAMS smartVersion{};
    std::array<std::uint8_t, kDescriptorReplySize> propertyReply{};
    bool propertyReplied = false;

    // The first call of `operation` (with `code`, for device control) at or
    // after position `from`, or nullptr.
    const ObservedCall* Find(DeviceOperation operation, DWORD code = 0, std::size_t from = 0) const;

  private:
    void Record(const ObservedCall& call);

    DeviceServices& inner_;
};

}  // namespace hwid
