// The device back end that this build links for the machine it runs on: the
// kernel32 one in the Windows build, the Linux one natively.
#pragma once

#include <cstddef>

#include "hwid/device_services.h"

namespace hwid {

// The one back end of the programs, which call it from their one thread.
DeviceServices& PlatformDeviceServices();

// A back end of its own for one caller, made fresh in this object's storage
// and destroyed with it: back ends are not thread-safe, so callers that may
// run at the same time (the library, inside other programs' threads) each
// take one of these instead of sharing PlatformDeviceServices().
class FreshPlatformDeviceServices {
  public:
    FreshPlatformDeviceServices();
    ~FreshPlatformDeviceServices();
    FreshPlatformDeviceServices(const FreshPlatformDeviceServices&) = delete;
    FreshPlatformDeviceServices& operator=(const FreshPlatformDeviceServices&) = delete;

    DeviceServices& Services() { return *services_; }

    // Room for the back end of any build; each checks that it fits.
    static constexpr std::size_t kStorageSize = 16384;

  private:
    alignas(std::max_align_t) unsigned char storage_[kStorageSize];
    DeviceServices* services_;
};

}  // namespace hwid
