#include "explain/report.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/digest_fold.h"
#include "explain/recording_device_services.h"
#include "hwid/text.h"

namespace hwid {
namespace {

constexpr const char* kNotLetterOrDigit =
    "neither the first nor the twentieth character of the serial is a letter or digit";

// Walks the recorded calls in order.
class CallCursor {
  public:
    explicit CallCursor(const RecordingDeviceServices& recorder) : recorder_(recorder) {}

    const ObservedCall* Next(DeviceOperation operation, DWORD code = 0) {
        const ObservedCall* call = recorder_.Find(operation, code, at_);
        if (call != nullptr) {
            at_ = static_cast<std::size_t>(call - recorder_.calls.data()) + 1;
        }
        return call;
    }

  private:
    const RecordingDeviceServices& recorder_;
    std::size_t at_ = 0;
};

DiskIdentity EmptyIdentity() {
    DiskIdentity identity;
    identity.serialText.fill(0);
    identity.modelText.fill(0);
    identity.diagnosticText.fill(0);
    identity.smartReply.fill(0);
    return identity;
}

// Every probe starts by opening drive 0; false when that failed.
bool ExplainOpen(ProbeReport& probe, CallCursor& cursor) {
    probe.ran = true;
    const ObservedCall* open = cursor.Next(DeviceOperation::kCreateFile);
    probe.opened = open != nullptr && open->succeeded;
    if (!probe.opened) {
        probe.openError = open != nullptr ? open->error : 0;
        std::snprintf(probe.reason, sizeof probe.reason, "drive 0 could not be opened (error %u)",
                      static_cast<unsigned>(probe.openError));
    }
    return probe.opened;
}

void ExplainSmartProbe(ProbeReport& probe, const RecordingDeviceServices& recorder,
                       const DiskIdentity& identity, CallCursor& cursor) {
    if (!ExplainOpen(probe, cursor)) {
        return;
    }
    const ObservedCall* version = cursor.Next(DeviceOperation::kDeviceIoControl, SMART_GET_VERSION);
    probe.versionAnswered = version != nullptr && version->succeeded;
    probe.versionError = version != nullptr ? version->error : 0;
    probe.deviceMap = recorder.smartVersion.bIDEDeviceMap;
    if (probe.deviceMap == 0) {
        std::snprintf(probe.reason, sizeof probe.reason,
                      probe.versionAnswered ? "the SMART version reply names no IDE device"
                                            : "the drive refused the SMART version request "
                                              "(error %u)",
                      static_cast<unsigned>(probe.versionError));
        return;
    }
    probe.command = (probe.deviceMap & 0x10) != 0 ? ATAPI_ID_CMD : ID_CMD;
    const ObservedCall* identify =
        cursor.Next(DeviceOperation::kDeviceIoControl, SMART_RCV_DRIVE_DATA);
    probe.identifyAnswered = identify != nullptr && identify->succeeded;
    if (!probe.identifyAnswered) {
        probe.identifyError = identify != nullptr ? identify->error : 0;
        std::snprintf(probe.reason, sizeof probe.reason,
                      "the drive refused the IDENTIFY request (error %u)",
                      static_cast<unsigned>(probe.identifyError));
        return;
    }
    probe.answered = true;
    std::uint32_t words[kIdentifyWordCount];
    for (std::size_t i = 0; i < kIdentifyWordCount; ++i) {
        words[i] = identity.smartReply[16 + 2 * i] |
                   static_cast<std::uint32_t>(identity.smartReply[17 + 2 * i]) << 8;
    }
    IdentifyWordsToText(words, 10, 19, probe.serialField);
    // The probe's own acceptance, run again on a scratch record.
    DiskIdentity scratch = EmptyIdentity();
    scratch.modelText[0] = '\x01';
    ExtractIdentifyStrings(scratch, words);
    probe.accepted = scratch.modelText[0] != '\x01' || scratch.serialText[0] != '\0';
    if (!probe.accepted) {
        std::snprintf(
            probe.reason, sizeof probe.reason, "%s",
            probe.serialField[0] == '\0' ? "the serial field is empty" : kNotLetterOrDigit);
    }
}

void ExplainStorageProbe(ProbeReport& probe, const RecordingDeviceServices& recorder,
                         CallCursor& cursor) {
    if (!ExplainOpen(probe, cursor)) {
        return;
    }
    const ObservedCall* property =
        cursor.Next(DeviceOperation::kDeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY);
    probe.propertyAnswered = property != nullptr && property->succeeded && recorder.propertyReplied;
    if (!probe.propertyAnswered) {
        probe.propertyError = property != nullptr ? property->error : 0;
        std::snprintf(probe.reason, sizeof probe.reason,
                      "the drive refused the storage property request (error %u)",
                      static_cast<unsigned>(probe.propertyError));
        return;
    }
    probe.answered = true;
    const ObservedCall* geometry =
        cursor.Next(DeviceOperation::kDeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX);
    probe.geometryAnswered = geometry != nullptr && geometry->succeeded;
    probe.geometryError = geometry != nullptr ? geometry->error : 0;

    const auto& reply = recorder.propertyReply;
    const std::uint32_t serialOffset =
        LoadLittleEndian32(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset));
    char decoded[kDecodedTextSize];
    DecodeDescriptorString(reply, static_cast<std::int32_t>(serialOffset), decoded);
    CopyText(probe.serialField, decoded);
    DiskIdentity scratch = EmptyIdentity();
    probe.accepted = ExtractDescriptorStrings(reply, scratch) == 1;
    if (!probe.accepted) {
        std::snprintf(probe.reason, sizeof probe.reason, "%s",
                      serialOffset == 0              ? "the descriptor names no serial number"
                      : probe.serialField[0] == '\0' ? "the serial number decodes to an empty text"
                                                     : kNotLetterOrDigit);
    }
}

}  // namespace

void BuildExplainReport(ExplainReport& report, DeviceServices& services, CpuidFunction cpuid) {
    std::memset(&report, 0, sizeof report);
    CpuidRegisters leaf0{};
    cpuid(0, leaf0);
    std::memcpy(report.vendor, &leaf0.ebx, 4);
    std::memcpy(report.vendor + 4, &leaf0.edx, 4);
    std::memcpy(report.vendor + 8, &leaf0.ecx, 4);
    report.highestLeaf = leaf0.eax;
    report.leavesSummed = leaf0.eax >= 2 ? 3 : static_cast<int>(leaf0.eax) + 1;
    services.DescribeDriveZero(report.drive);

    RecordingDeviceServices recorder(services);
    MachineFacts facts;
    CollectMachineFacts(facts, recorder, cpuid);
    report.cpuSignature = facts.cpuSignature;
    report.platformId = recorder.platformId;

    CallCursor cursor(recorder);
    cursor.Next(DeviceOperation::kGetVersion);
    if (report.platformId == VER_PLATFORM_WIN32_NT) {
        ExplainSmartProbe(report.smart, recorder, facts.identity, cursor);
        // The storage property probe runs exactly when the IDENTIFY request
        // got no answer.
        if (!report.smart.identifyAnswered) {
            ExplainStorageProbe(report.storage, recorder, cursor);
        }
    }

    CopyText(report.model, facts.identity.modelText.data());
    CopyText(report.serial, facts.identity.serialText.data());
    CopyText(report.diagnostic, facts.identity.diagnosticText.data());
    report.foldValue = ComputeFoldValue(facts.identity.serialText);
    FormatMachineIdentifier(DeriveMachineIdentifier(facts.cpuSignature, facts.identity.serialText),
                            report.identifier);
}

void MaskSerial(const char* serial, char* masked, std::size_t size) {
    if (size == 0) {
        return;
    }
    const std::size_t length = std::strlen(serial);
    std::size_t n = 0;
    for (; n < length && n + 1 < size; ++n) {
        masked[n] = length > 4 && n >= length - 4 ? serial[n] : '*';
    }
    masked[n] = '\0';
}

}  // namespace hwid
