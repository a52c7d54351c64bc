#include "hwid/disk_identity.h"

#include <cstring>

#include "hwid/text.h"

namespace hwid {

int CollectDiskIdentity(DiskIdentity& identity, DeviceServices& services) {
    CopyText(identity.serialText, "");
    OSVERSIONINFOW version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    services.GetVersionExW(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (ReadPhysicalDriveWithSmart(identity, services) == 0) {
            ReadPhysicalDriveInNTWithZeroRights(identity, services);
        }
    }
    return 0;
}

}  // namespace hwid
