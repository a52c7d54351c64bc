// The Linux back end. For now it reports the NT platform and cannot open
// drive 0, so the probes run and the identifier comes from the CPU alone.
#include "hwid/device_services.h"

namespace hwid {
namespace {

class LinuxDeviceServices final : public DeviceServices {
public:
    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override {
        versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
        return 1;
    }
    HANDLE CreateFileA(const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) override {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    BOOL DeviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*) override {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    DWORD GetLastError() override { return lastError_; }
    BOOL CloseHandle(HANDLE) override {
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }

private:
    DWORD lastError_ = 0;
};

}  // namespace

DeviceServices& PlatformDeviceServices() {
    static constinit LinuxDeviceServices services;
    return services;
}

}  // namespace hwid
