// The library's two calls on a device back end that the caller hands in: the
// C entry points give each call a fresh back end of this build; tests give a
// scripted one.
#pragma once

#include "hwid/cpu_signature.h"
#include "hwid/device_services.h"
#include "hwid/hwid.h"

namespace hwid::library {

// The identifier as hwid prints it, zero-terminated. Nothing is written on
// any status but HWID_OK.
hwid_status GetIdentifier(DeviceServices& services, char* identifier,
                          CpuidFunction cpuid = ExecuteCpuid);

// What hwid-explain reports, as the C record. Nothing is written on any
// status but HWID_OK.
hwid_status GetFacts(DeviceServices& services, hwid_facts* facts,
                     CpuidFunction cpuid = ExecuteCpuid);

}  // namespace hwid::library
