// The C interface of libhwid (include/hwid/hwid.h).
#include "hwid/hwid.h"

#include "lib/library.h"
#include "platform/platform.h"

#ifndef HWID_VERSION
#error "HWID_VERSION must name the version"
#endif

namespace {

// Each call has its own back end: the back ends are not thread-safe, and the
// library keeps nothing between calls.
hwid_status Identifier(char* identifier) {
    hwid::FreshPlatformDeviceServices services;
    return hwid::library::GetIdentifier(services.Services(), identifier);
}

hwid_status Facts(hwid_facts* facts) {
    hwid::FreshPlatformDeviceServices services;
    return hwid::library::GetFacts(services.Services(), facts);
}

}  // namespace

extern "C" {

// Nothing below throws but operator new, for the digest; out of memory is a
// failure of the machine's resources, and no exception may reach a C caller.
hwid_status hwid_get_identifier(char identifier[HWID_IDENTIFIER_SIZE]) {
    try {
        return Identifier(identifier);
    } catch (...) {
        return HWID_RESOURCE_FAILURE;
    }
}

hwid_status hwid_get_facts(hwid_facts* facts) {
    try {
        return Facts(facts);
    } catch (...) {
        return HWID_RESOURCE_FAILURE;
    }
}

const char* hwid_status_text(hwid_status status) {
    switch (status) {
        case HWID_OK:
            return "success";
        case HWID_INVALID_ARGUMENT:
            return "invalid argument: a null pointer, or a record size of 0 or too small";
        case HWID_RESOURCE_FAILURE:
            return "the machine's own resources ran out while reading the disk (no file "
                   "descriptors or handles left, or no memory); no identifier";
    }
    return "unknown status";
}

const char* hwid_version(void) {
    return HWID_VERSION;
}

}  // extern "C"
