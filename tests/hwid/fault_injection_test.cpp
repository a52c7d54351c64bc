// Fault injection through the scripted back end: hwid's whole run
// (CollectMachineFacts, derivation, formatting) with every kernel32 operation
// of both probes failed, cut short or answered with garbage in turn, from two
// baseline conversations (SMART refuses the IDENTIFY request, so the storage
// property probe runs too; SMART accepts it).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"
#include "hwid/machine_identifier.h"
#include "support/disk_replies.h"
#include "support/hwid_run.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

using namespace test;

// --- Scripted back end ---------------------------------------------------------

constexpr char kSmartSerial[] = "SSN-0001";
constexpr char kSmartModel[] = "SMART-MODEL";
constexpr char kDescriptorSerial[] = "DSN-0001";
constexpr char kDescriptorProduct[] = "DESC MODEL";
constexpr char kDescriptorVendor[] = "VENDOR";
constexpr char kDescriptorRevision[] = "1.0";
// The descriptor's strings follow one another from byte 64, each with its
// terminator; the serial comes last.
constexpr std::size_t kDescriptorSerialAt =
    64 + sizeof kDescriptorVendor + sizeof kDescriptorProduct + sizeof kDescriptorRevision;
constexpr std::uint32_t kGarbageSeed = 20240607;

std::vector<std::uint8_t> Garbage(std::size_t size) {
    std::mt19937 engine(kGarbageSeed);
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(engine() >> 24);
    }
    return bytes;
}

// The serial's string runs up to the reply's last byte with no zero after it.
std::vector<std::uint8_t> SerialUpToTheEnd() {
    std::vector<std::uint8_t> bytes = test::DescriptorReplyBytes({});
    const std::string serial = "ABCDEFGHIJ";
    test::PutOffset(bytes, 24, static_cast<std::uint32_t>(kDescriptorReplySize - serial.size()));
    std::copy(serial.begin(), serial.end(),
              bytes.end() - static_cast<std::ptrdiff_t>(serial.size()));
    return bytes;
}

// Offsets at the end of the reply, past it, and with the top bit set.
std::vector<std::uint8_t> OffsetsOutOfRange() {
    std::vector<std::uint8_t> bytes = test::DescriptorReplyBytes({});
    test::PutOffset(bytes, 12, static_cast<std::uint32_t>(kDescriptorReplySize - 1));
    test::PutOffset(bytes, 16, static_cast<std::uint32_t>(kDescriptorReplySize));
    test::PutOffset(bytes, 20, 0xFFFFFFFF);
    test::PutOffset(bytes, 24, 0x80000040);
    for (std::size_t i = 64; i < kDescriptorReplySize - 1; ++i) {
        bytes[i] = 'A';
    }
    return bytes;
}

std::vector<std::uint8_t> VersionWithoutDeviceMap() {
    return test::VersionReply(0);
}

enum class Step {
    kNone,
    kVersionInfo,    // GetVersionExW
    kSmartOpen,      // the SMART probe's CreateFileA
    kPropertyOpen,   // the storage property probe's CreateFileA
    kSmartVersion,   // SMART_GET_VERSION
    kSmartIdentify,  // SMART_RCV_DRIVE_DATA
    kProperty,       // IOCTL_STORAGE_QUERY_PROPERTY
    kGeometry,       // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX
};

enum class Fault {
    kFail,              // fails: an open gives INVALID_HANDLE_VALUE, GetVersionExW
                        // writes nothing, a request returns 0 with no bytes
    kFailWritingReply,  // a request returns 0 after writing its usual reply
    kOtherPlatform,     // GetVersionExW reports the Windows 9x platform
    kEmpty,             // succeeds with 0 bytes
    kCut,               // succeeds with the first `size` bytes of its usual reply
    kGarbage,           // succeeds with `size` random bytes
    kGarbageAfter,      // succeeds with its usual reply, random from byte `size` on
    kReplace,           // succeeds with the bytes that `replacement` gives
};

struct Injection {
    Step step = Step::kNone;
    Fault fault = Fault::kFail;
    std::size_t size = 0;
    DWORD error = ERROR_GEN_FAILURE;
    std::vector<std::uint8_t> (*replacement)() = nullptr;
};

enum class Diagnostic { kUnchanged, kZeroed, kOpenFailure, kPropertyFailure, kGeometryFailure };

struct ScriptedCase {
    const char* name;
    bool smartAccepts;  // the baseline: SMART_RCV_DRIVE_DATA answers, or is refused
    std::vector<Injection> injections;
    std::optional<std::string> serial;  // none: garbage in, only soundness checked
    std::optional<std::string> model;
    int opens;                    // CreateFileA calls
    std::vector<DWORD> requests;  // control codes sent, in order
    Diagnostic diagnostic;
    DWORD propertyError = 0;  // the number in the property request's message
};

std::map<DWORD, test::ScriptedReply> UsualReplies(bool smartAccepts) {
    std::map<DWORD, test::ScriptedReply> replies;
    replies[SMART_GET_VERSION] = {.result = 1, .bytes = test::VersionReply(0x01)};
    replies[SMART_RCV_DRIVE_DATA] =
        smartAccepts ? test::ScriptedReply{.result = 1,
                                           .bytes = test::IdentifyReply(
                                               test::IdentifyWords(kSmartSerial, kSmartModel))}
                     : test::ScriptedReply{.result = 0, .error = ERROR_INVALID_FUNCTION};
    replies[IOCTL_STORAGE_QUERY_PROPERTY] = {
        .result = 1,
        .bytes = test::DescriptorReplyBytes({.vendor = kDescriptorVendor,
                                             .product = kDescriptorProduct,
                                             .revision = kDescriptorRevision,
                                             .serial = kDescriptorSerial})};
    replies[IOCTL_DISK_GET_DRIVE_GEOMETRY_EX] = {.result = 1,
                                                 .bytes = std::vector<std::uint8_t>(32, 0x11)};
    return replies;
}

void Apply(test::ScriptedReply& reply, const Injection& injection) {
    switch (injection.fault) {
        case Fault::kFail:
            reply = {.result = 0, .error = injection.error};
            break;
        case Fault::kFailWritingReply:
            reply.result = 0;
            reply.error = injection.error;
            break;
        case Fault::kEmpty:
            reply = {.result = 1};
            break;
        case Fault::kCut:
            reply.result = 1;
            reply.bytes.resize(injection.size);
            break;
        case Fault::kGarbage:
            reply = {.result = 1, .bytes = Garbage(injection.size)};
            break;
        case Fault::kGarbageAfter: {
            reply.result = 1;
            const std::vector<std::uint8_t> random = Garbage(reply.bytes.size());
            std::copy(random.begin() + static_cast<std::ptrdiff_t>(injection.size), random.end(),
                      reply.bytes.begin() + static_cast<std::ptrdiff_t>(injection.size));
            break;
        }
        case Fault::kReplace:
            reply = {.result = 1, .bytes = injection.replacement()};
            break;
        case Fault::kOtherPlatform:
            ADD_FAILURE() << "not a fault of a device request";
            break;
    }
}

void Script(test::ScriptedDeviceServices& services, const ScriptedCase& c) {
    std::array<test::ScriptedOpen, 2> opens{};  // the SMART probe's, then the other's
    std::map<DWORD, test::ScriptedReply> replies = UsualReplies(c.smartAccepts);
    for (const Injection& injection : c.injections) {
        switch (injection.step) {
            case Step::kNone:
                break;
            case Step::kVersionInfo:
                if (injection.fault == Fault::kOtherPlatform) {
                    services.platformId = VER_PLATFORM_WIN32_WINDOWS;
                } else {
                    services.versionFails = true;
                }
                break;
            case Step::kSmartOpen:
                opens[0] = {.succeeds = false, .error = injection.error};
                break;
            case Step::kPropertyOpen:
                opens[1] = {.succeeds = false, .error = injection.error};
                break;
            case Step::kSmartVersion:
                Apply(replies[SMART_GET_VERSION], injection);
                break;
            case Step::kSmartIdentify:
                Apply(replies[SMART_RCV_DRIVE_DATA], injection);
                break;
            case Step::kProperty:
                Apply(replies[IOCTL_STORAGE_QUERY_PROPERTY], injection);
                break;
            case Step::kGeometry:
                Apply(replies[IOCTL_DISK_GET_DRIVE_GEOMETRY_EX], injection);
                break;
        }
    }
    services.opens.assign(opens.begin(), opens.end());
    for (auto& [code, reply] : replies) {
        services.Reply(code, reply);
    }
}

void ExpectBalanced(const test::ScriptedDeviceServices& services) {
    EXPECT_EQ(services.opened, services.closed);
    EXPECT_EQ(services.OpenCount(), 0u);
    EXPECT_EQ(services.badCloses, 0);
    EXPECT_EQ(services.unknownUses, 0);
    EXPECT_LE(services.maxOpenAtOnce, 1);
}

std::vector<DWORD> RequestsOf(const test::ScriptedDeviceServices& services) {
    std::vector<DWORD> codes;
    for (const test::RecordedCall& call : services.CallsOf(test::Operation::DeviceIoControl)) {
        codes.push_back(call.controlCode);
    }
    return codes;
}

// All 256 bytes of diagnosticText that the probes leave for the case's
// failure; `before` is what the field held when the run began.
std::string ExpectedDiagnostic(const ScriptedCase& c, const std::string& before) {
    std::string text;
    switch (c.diagnostic) {
        case Diagnostic::kUnchanged:
            return before;
        case Diagnostic::kZeroed:
            break;
        case Diagnostic::kOpenFailure:
            text = kOpenFailureText;
            break;
        case Diagnostic::kPropertyFailure:
            text = PropertyFailureText(c.propertyError);
            break;
        case Diagnostic::kGeometryFailure:
            text = kGeometryFailureText;
            break;
    }
    text.resize(kDiagnosticSize, '\0');
    return text;
}

constexpr DWORD kV = SMART_GET_VERSION;
constexpr DWORD kR = SMART_RCV_DRIVE_DATA;
constexpr DWORD kQ = IOCTL_STORAGE_QUERY_PROPERTY;
constexpr DWORD kG = IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
constexpr bool kRefuses = false;
constexpr bool kAccepts = true;
// An NTSTATUS-like code: negative as a signed number.
constexpr DWORD kNegativeError = 0xC0000010;

const ScriptedCase kScriptedCases[] = {
    // The two baselines.
    {"RefusedIdentifyBaseline",
     kRefuses,
     {},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"AcceptedIdentifyBaseline",
     kAccepts,
     {},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // GetVersionExW: no probe runs.
    {"VersionInfoFails",
     kAccepts,
     {{.step = Step::kVersionInfo}},
     "",
     "",
     0,
     {},
     Diagnostic::kUnchanged},
    {"OtherPlatform",
     kRefuses,
     {{.step = Step::kVersionInfo, .fault = Fault::kOtherPlatform}},
     "",
     "",
     0,
     {},
     Diagnostic::kUnchanged},
    // CreateFileA.
    {"SmartOpenFails",
     kAccepts,
     {{.step = Step::kSmartOpen}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kQ, kG},
     Diagnostic::kZeroed},
    {"PropertyOpenFails",
     kRefuses,
     {{.step = Step::kPropertyOpen}},
     "",
     "",
     2,
     {kV, kR},
     Diagnostic::kOpenFailure},
    {"BothOpensFail",
     kRefuses,
     {{.step = Step::kSmartOpen}, {.step = Step::kPropertyOpen, .error = ERROR_ACCESS_DENIED}},
     "",
     "",
     2,
     {},
     Diagnostic::kOpenFailure},
    // SMART_GET_VERSION.
    {"VersionRequestFails",
     kAccepts,
     {{.step = Step::kSmartVersion}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionRequestFailsAfterWritingTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kFailWritingReply}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kZeroed},
    {"VersionReplyWithoutDeviceMap",
     kAccepts,
     {{.step = Step::kSmartVersion,
       .fault = Fault::kReplace,
       .replacement = VersionWithoutDeviceMap}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyEmpty",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kEmpty}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyCutBeforeTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kCut, .size = 3}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyCutAfterTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kCut, .size = 4}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // The seed's byte 3, the device map, is not zero.
    {"VersionReplyGarbage",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kGarbage, .size = 24}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // SMART_RCV_DRIVE_DATA.
    {"IdentifyFails",
     kAccepts,
     {{.step = Step::kSmartIdentify}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"IdentifyFailsAfterWritingTheReply",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kFailWritingReply}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"IdentifyReplyEmpty",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kEmpty}},
     "",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    {"IdentifyReplyHeaderOnly",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kCut, .size = 16}},
     "",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // Words 10 to 12 arrive: the serial's first six characters.
    {"IdentifyReplyCutInsideTheSerial",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kCut, .size = 16 + 2 * 13}},
     "SSN-00",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    {"IdentifyReplyGarbage",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kGarbage, .size = kSmartReplySize}},
     std::nullopt,
     std::nullopt,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // IOCTL_STORAGE_QUERY_PROPERTY.
    {"PropertyRequestFails",
     kRefuses,
     {{.step = Step::kProperty, .error = 50}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     50},
    {"PropertyRequestFailsWithANegativeCode",
     kRefuses,
     {{.step = Step::kProperty, .error = kNegativeError}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     kNegativeError},
    {"PropertyRequestFailsAfterWritingTheReply",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kFailWritingReply, .error = 1}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     1},
    {"PropertyReplyEmpty",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kEmpty}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyCutInsideTheOffsets",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kCut, .size = 20}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyCutInsideTheSerial",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kCut, .size = kDescriptorSerialAt + 3}},
     "DSN",
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyGarbage",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kGarbage, .size = kDescriptorReplySize}},
     std::nullopt,
     std::nullopt,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyGarbageStrings",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kGarbageAfter, .size = 64}},
     std::nullopt,
     std::nullopt,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertySerialRunsToTheEndOfTheReply",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kReplace, .replacement = SerialUpToTheEnd}},
     "ABCDEFGHIJ",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyOffsetsOutOfRange",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kReplace, .replacement = OffsetsOutOfRange}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the message, and the serial stays.
    {"GeometryFails",
     kRefuses,
     {{.step = Step::kGeometry}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kGeometryFailure},
    {"GeometryFailsAfterARejectedSerial",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kEmpty}, {.step = Step::kGeometry}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kGeometryFailure},
    {"GeometryReplyEmpty",
     kRefuses,
     {{.step = Step::kGeometry, .fault = Fault::kEmpty}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"GeometryReplyGarbage",
     kRefuses,
     {{.step = Step::kGeometry, .fault = Fault::kGarbage, .size = kDescriptorReplySize}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    // Two failures, the later message wins.
    {"SmartOpenAndPropertyRequestFail",
     kAccepts,
     {{.step = Step::kSmartOpen}, {.step = Step::kProperty, .error = 21}},
     "",
     "",
     2,
     {kQ},
     Diagnostic::kPropertyFailure,
     21},
    {"SmartOpenAndGeometryFail",
     kAccepts,
     {{.step = Step::kSmartOpen}, {.step = Step::kGeometry}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kQ, kG},
     Diagnostic::kGeometryFailure},
};

void PrintTo(const ScriptedCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedFaults : public testing::TestWithParam<ScriptedCase> {};

TEST_P(ScriptedFaults, KeepHandlesBalancedAndLeaveWhatTheFailureTablesSay) {
    const ScriptedCase& c = GetParam();

    // As hwid runs: the driver zero-fills the texts first.
    test::ScriptedDeviceServices services;
    Script(services, c);
    HwidRun run;
    RunHwid(services, run);
    ExpectBalanced(services);
    ExpectSoundRun(run);
    const DiskIdentity& identity = run.facts.identity;
    if (c.serial) {
        EXPECT_EQ(TextOf(identity.serialText), *c.serial);
    }
    if (c.model) {
        EXPECT_EQ(TextOf(identity.modelText), *c.model);
    }
    EXPECT_EQ(static_cast<int>(services.CallsOf(test::Operation::CreateFileA).size()), c.opens);
    EXPECT_EQ(RequestsOf(services), c.requests);
    EXPECT_EQ(BytesOf(identity.diagnosticText), ExpectedDiagnostic(c, std::string(256, '\0')));

    // Once more with an old message in diagnosticText, longer than any new
    // one: zero-filled, unchanged and overwritten differ.
    test::ScriptedDeviceServices again;
    Script(again, c);
    DiskIdentity record{};
    test::PutText(record.diagnosticText, std::string(kDiagnosticSize - 1, 'x'));
    record.smartReply.fill(0xEE);
    const std::string before = BytesOf(record.diagnosticText);
    CollectDiskIdentity(record, again);
    ExpectBalanced(again);
    EXPECT_EQ(BytesOf(record.diagnosticText), ExpectedDiagnostic(c, before));
    EXPECT_EQ(TextOf(record.serialText), TextOf(identity.serialText));
}

INSTANTIATE_TEST_SUITE_P(Cases, ScriptedFaults, testing::ValuesIn(kScriptedCases),
                         [](const testing::TestParamInfo<ScriptedCase>& param) {
                             return param.param.name;
                         });

}  // namespace
}  // namespace hwid
