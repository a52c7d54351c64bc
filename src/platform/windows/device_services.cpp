// The Windows back end: the operations go straight to kernel32.
#include <cstdio>
#include <new>

#include "hwid/device_services.h"
#include "hwid/disk_identity.h"
#include "platform/platform.h"

namespace hwid {
namespace {

class Kernel32DeviceServices final : public DeviceServices {
  public:
    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override {
        return ::GetVersionExW(versionInfo);
    }
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override {
        return ::CreateFileA(fileName, desiredAccess, shareMode,
                             static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                             creationDisposition, flagsAndAttributes, templateFile);
    }
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                         void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                         void* overlapped) override {
        return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                 outBufferSize, bytesReturned,
                                 static_cast<LPOVERLAPPED>(overlapped));
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }
    void DescribeDriveZero(DriveZeroDescription& description) override {
        description = DriveZeroDescription{};
        description.found = true;
        std::snprintf(description.path, sizeof description.path, kDrivePathFormat, 0);
        std::snprintf(description.reason, sizeof description.reason,
                      "Windows numbers the disks itself; drive 0 is the first it found");
    }
    // Windows codes are what a Windows user looks up.
    bool DescribeLastError(char* text, std::size_t size) override {
        std::snprintf(text, size, "error %lu", ::GetLastError());
        return true;
    }
};

}  // namespace

DeviceServices& PlatformDeviceServices() {
    // Constant-initialised: no constructor runs at start-up.
    static constinit Kernel32DeviceServices services;
    return services;
}

static_assert(sizeof(Kernel32DeviceServices) <= FreshPlatformDeviceServices::kStorageSize);

FreshPlatformDeviceServices::FreshPlatformDeviceServices()
    : services_(new (storage_) Kernel32DeviceServices) {}

FreshPlatformDeviceServices::~FreshPlatformDeviceServices() {
    services_->~DeviceServices();
}

}  // namespace hwid
