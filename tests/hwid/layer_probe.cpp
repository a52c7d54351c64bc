// A probe-like unit for the layer tests, never built by default: it links only
// hwid_identity and includes the header that HWID_LAYER_HEADER names. With an
// identity header it builds; with a back-end or explain header it must not.
#include HWID_LAYER_HEADER

#include "hwid/disk_identity.h"

int LayerProbe(hwid::DeviceServices& services) {
    hwid::DiskIdentity identity{};
    return hwid::CollectDiskIdentity(identity, services);
}
