// The device back end that this build links for the machine it runs on: the
// kernel32 one in the Windows build, the Linux one natively.
#pragma once

#include "hwid/device_services.h"

namespace hwid {

DeviceServices& PlatformDeviceServices();

}  // namespace hwid
