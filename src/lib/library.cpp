#include "lib/library.h"

#include <cstring>

#include "explain/report.h"
#include "hwid/machine_identifier.h"
#include "hwid/resource_watch.h"
#include "hwid/text.h"

namespace hwid::library {
namespace {

// The first version of the record, which every caller's must hold.
constexpr std::size_t kFirstFactsSize = sizeof(hwid_facts);

hwid_serial_source SerialSource(const ExplainReport& report) {
    if (report.serial[0] == '\0') {
        return HWID_SERIAL_NONE;
    }
    // The storage property probe runs only when the SMART one took nothing.
    return report.smart.accepted ? HWID_SERIAL_SMART_IDENTIFY : HWID_SERIAL_STORAGE_DESCRIPTOR;
}

}  // namespace

hwid_status GetIdentifier(DeviceServices& services, char* identifier, CpuidFunction cpuid) {
    if (identifier == nullptr) {
        return HWID_INVALID_ARGUMENT;
    }
    MachineFacts facts;
    ResourceWatchingDeviceServices watched(services);
    CollectMachineFacts(facts, watched, cpuid);
    if (watched.ResourceFailure() != ERROR_SUCCESS) {
        return HWID_RESOURCE_FAILURE;
    }
    char text[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(facts.cpuSignature, facts.identity.serialText),
                            text);
    std::memcpy(identifier, text, sizeof text);
    return HWID_OK;
}

hwid_status GetFacts(DeviceServices& services, hwid_facts* facts, CpuidFunction cpuid) {
    if (facts == nullptr || facts->size < kFirstFactsSize) {
        return HWID_INVALID_ARGUMENT;
    }
    ExplainReport report;
    ResourceWatchingDeviceServices watched(services);
    BuildExplainReport(report, watched, cpuid);
    if (watched.ResourceFailure() != ERROR_SUCCESS) {
        return HWID_RESOURCE_FAILURE;
    }

    hwid_facts out;
    std::memset(&out, 0, sizeof out);
    out.size = facts->size;
    CopyText(out.cpu_vendor, report.vendor);
    out.cpu_highest_leaf = report.highestLeaf;
    out.cpu_leaves_summed = static_cast<std::uint32_t>(report.leavesSummed);
    out.cpu_signature = report.cpuSignature;
    out.platform_id = report.platformId;
    out.drive_found = report.drive.found ? 1 : 0;
    CopyText(out.drive_path, report.drive.path);
    CopyText(out.drive_bus, report.drive.bus);
    CopyText(out.drive_reason, report.drive.reason);
    out.serial_source = SerialSource(report);
    CopyText(out.serial, report.serial);
    CopyText(out.model, report.model);
    CopyText(out.diagnostic, report.diagnostic);
    out.fold_value = report.foldValue;
    CopyText(out.identifier, report.identifier);
    out.warnings = report.serial[0] == '\0' ? HWID_WARNING_NO_SERIAL : 0;
    std::memcpy(facts, &out, sizeof out);
    return HWID_OK;
}

}  // namespace hwid::library
