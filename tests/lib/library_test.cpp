// The library's two calls on the scripted back end: what they give for each
// answer of the drive, and that a failure of the machine's own resources at
// any step of the disk side gives the resource status and writes nothing,
// while a drive that refuses or is absent keeps its identifier with success.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "hwid/machine_identifier.h"
#include "lib/library.h"
#include "support/disk_replies.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

constexpr char kSmartSerial[] = "LIB-SMART-01";
constexpr char kSmartModel[] = "LIB-SMART-MODEL";
constexpr char kDescriptorSerial[] = "LIB-DESC-02";
constexpr char kDescriptorProduct[] = "LIB-DESC-PRODUCT";

void FixedCpuid(std::uint32_t leaf, CpuidRegisters& registers) {
    registers = {};
    if (leaf == 0) {
        registers.eax = 2;
        std::memcpy(&registers.ebx, "Genu", 4);
        std::memcpy(&registers.edx, "ineI", 4);
        std::memcpy(&registers.ecx, "ntel", 4);
    } else {
        registers.eax = 0x000906EA + leaf;
        registers.edx = 0xBFEBFBFF;
    }
}

DriveZeroDescription ScriptedDrive() {
    DriveZeroDescription drive{};
    drive.found = true;
    std::snprintf(drive.path, sizeof drive.path, "/dev/sdz");
    std::snprintf(drive.bus, sizeof drive.bus, "ata");
    std::snprintf(drive.reason, sizeof drive.reason, "scripted");
    return drive;
}

// Where in the disk side a failure is put.
enum class Step { kNone, kSmartOpen, kSmartVersion, kSmartIdentify, kOpen, kProperty, kGeometry };

// SMART answers the IDENTIFY request or refuses it (then the storage property
// probe runs); `step` fails with `error`.
void Script(test::ScriptedDeviceServices& services, bool smartAccepts, Step step, DWORD error) {
    std::array<test::ScriptedOpen, 2> opens{};
    if (step == Step::kSmartOpen) {
        opens[0] = {.succeeds = false, .error = error};
    }
    if (step == Step::kOpen) {
        opens[1] = {.succeeds = false, .error = error};
    }
    services.opens.assign(opens.begin(), opens.end());
    services.driveZero = ScriptedDrive();
    const auto reply = [&](DWORD code, Step failing, test::ScriptedReply usual) {
        services.Reply(code, step == failing ? test::ScriptedReply{.result = 0, .error = error}
                                             : std::move(usual));
    };
    reply(SMART_GET_VERSION, Step::kSmartVersion, {.result = 1, .bytes = test::VersionReply(0x01)});
    reply(SMART_RCV_DRIVE_DATA, Step::kSmartIdentify,
          smartAccepts ? test::ScriptedReply{.result = 1,
                                             .bytes = test::IdentifyReply(
                                                 test::IdentifyWords(kSmartSerial, kSmartModel))}
                       : test::ScriptedReply{.result = 0, .error = ERROR_INVALID_FUNCTION});
    reply(IOCTL_STORAGE_QUERY_PROPERTY, Step::kProperty,
          {.result = 1,
           .bytes = test::DescriptorReplyBytes(
               {.product = kDescriptorProduct, .serial = kDescriptorSerial})});
    reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, Step::kGeometry,
          {.result = 1, .bytes = std::vector<std::uint8_t>(32, 0x11)});
}

// What hwid prints for the same conversation.
std::string ProgramIdentifier(bool smartAccepts, Step step, DWORD error) {
    test::ScriptedDeviceServices services;
    Script(services, smartAccepts, step, error);
    MachineFacts facts;
    CollectMachineFacts(facts, services, FixedCpuid);
    char text[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(facts.cpuSignature, facts.identity.serialText),
                            text);
    return text;
}

std::string IdentifierOf(const std::string& serial) {
    std::array<char, kTextFieldSize> field{};
    std::memcpy(field.data(), serial.data(), serial.size());
    char text[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(QueryCpuSignature(FixedCpuid), field), text);
    return text;
}

hwid_facts FilledFacts(unsigned char byte) {
    hwid_facts facts;
    std::memset(&facts, byte, sizeof facts);
    facts.size = sizeof facts;
    return facts;
}

// --- What the drive answered ------------------------------------------------

struct AnswerCase {
    const char* name;
    bool smartAccepts;
    Step step;
    DWORD error;
    const char* serial;
    const char* model;
    std::uint32_t source;
};

const AnswerCase kAnswers[] = {
    {"SmartIdentify", true, Step::kNone, 0, kSmartSerial, kSmartModel, HWID_SERIAL_SMART_IDENTIFY},
    {"StorageDescriptor", false, Step::kNone, 0, kDescriptorSerial, kDescriptorProduct,
     HWID_SERIAL_STORAGE_DESCRIPTOR},
    {"DriveRefusesEveryOpen", true, Step::kSmartOpen, ERROR_ACCESS_DENIED, "", "",
     HWID_SERIAL_NONE},
};

class Answers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, IdentifierAndFactsAgreeWithTheProgram) {
    const AnswerCase& c = GetParam();
    std::vector<test::ScriptedOpen> refusals;
    if (c.source == HWID_SERIAL_NONE) {
        // Both probes' opens refused.
        refusals = {{false, c.error}, {false, c.error}};
    }
    const auto script = [&](test::ScriptedDeviceServices& services) {
        Script(services, c.smartAccepts, c.step, c.error);
        if (!refusals.empty()) {
            services.opens.assign(refusals.begin(), refusals.end());
        }
    };

    test::ScriptedDeviceServices forIdentifier;
    script(forIdentifier);
    char identifier[HWID_IDENTIFIER_SIZE];
    ASSERT_EQ(library::GetIdentifier(forIdentifier, identifier, FixedCpuid), HWID_OK);
    EXPECT_EQ(std::string(identifier), IdentifierOf(c.serial));

    test::ScriptedDeviceServices forFacts;
    script(forFacts);
    hwid_facts facts = FilledFacts(0xA5);
    ASSERT_EQ(library::GetFacts(forFacts, &facts, FixedCpuid), HWID_OK);
    EXPECT_EQ(facts.size, sizeof facts);
    EXPECT_STREQ(facts.cpu_vendor, "GenuineIntel");
    EXPECT_EQ(facts.cpu_highest_leaf, 2u);
    EXPECT_EQ(facts.cpu_leaves_summed, 3u);
    EXPECT_EQ(facts.cpu_signature, QueryCpuSignature(FixedCpuid));
    EXPECT_EQ(facts.platform_id, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(facts.drive_found, 1u);
    EXPECT_STREQ(facts.drive_path, "/dev/sdz");
    EXPECT_STREQ(facts.drive_bus, "ata");
    EXPECT_STREQ(facts.drive_reason, "scripted");
    EXPECT_EQ(facts.serial_source, c.source);
    EXPECT_STREQ(facts.serial, c.serial);
    EXPECT_STREQ(facts.model, c.model);
    std::array<char, kTextFieldSize> field{};
    std::memcpy(field.data(), c.serial, std::strlen(c.serial));
    EXPECT_EQ(facts.fold_value, ComputeFoldValue(field));
    EXPECT_STREQ(facts.identifier, identifier);
    EXPECT_EQ(facts.warnings, c.source == HWID_SERIAL_NONE ? HWID_WARNING_NO_SERIAL : 0u);
}

INSTANTIATE_TEST_SUITE_P(Library, Answers, ::testing::ValuesIn(kAnswers),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Failures at each step of the disk side ----------------------------------

struct FailureCase {
    const char* name;
    bool smartAccepts;  // so that the step is reached
    Step step;
};

const FailureCase kSteps[] = {
    {"SmartOpen", true, Step::kSmartOpen},         {"SmartVersion", true, Step::kSmartVersion},
    {"SmartIdentify", true, Step::kSmartIdentify}, {"PropertyOpen", false, Step::kOpen},
    {"Property", false, Step::kProperty},          {"Geometry", false, Step::kGeometry},
};

const DWORD kResourceErrors[] = {ERROR_TOO_MANY_OPEN_FILES, ERROR_NOT_ENOUGH_MEMORY,
                                 ERROR_OUTOFMEMORY, ERROR_NO_SYSTEM_RESOURCES};
// A drive that is absent, refuses or cannot answer: no resource failure.
const DWORD kDriveErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_FUNCTION,
                              ERROR_IO_DEVICE, ERROR_NOT_READY};

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, ResourceErrorGivesTheResourceStatusAndWritesNothing) {
    const FailureCase& c = GetParam();
    for (const DWORD error : kResourceErrors) {
        SCOPED_TRACE(error);
        test::ScriptedDeviceServices forIdentifier;
        Script(forIdentifier, c.smartAccepts, c.step, error);
        char identifier[HWID_IDENTIFIER_SIZE];
        std::memset(identifier, 'x', sizeof identifier);
        EXPECT_EQ(library::GetIdentifier(forIdentifier, identifier, FixedCpuid),
                  HWID_RESOURCE_FAILURE);
        EXPECT_EQ(std::string(identifier, sizeof identifier), std::string(sizeof identifier, 'x'));
        EXPECT_EQ(forIdentifier.opened, forIdentifier.closed);

        test::ScriptedDeviceServices forFacts;
        Script(forFacts, c.smartAccepts, c.step, error);
        hwid_facts facts = FilledFacts(0x5A);
        const hwid_facts before = facts;
        EXPECT_EQ(library::GetFacts(forFacts, &facts, FixedCpuid), HWID_RESOURCE_FAILURE);
        EXPECT_EQ(std::memcmp(&facts, &before, sizeof facts), 0);
    }
}

TEST_P(Failures, DriveErrorKeepsTheProgramsIdentifier) {
    const FailureCase& c = GetParam();
    for (const DWORD error : kDriveErrors) {
        SCOPED_TRACE(error);
        test::ScriptedDeviceServices services;
        Script(services, c.smartAccepts, c.step, error);
        char identifier[HWID_IDENTIFIER_SIZE];
        ASSERT_EQ(library::GetIdentifier(services, identifier, FixedCpuid), HWID_OK);
        EXPECT_EQ(std::string(identifier), ProgramIdentifier(c.smartAccepts, c.step, error));

        test::ScriptedDeviceServices forFacts;
        Script(forFacts, c.smartAccepts, c.step, error);
        hwid_facts facts = FilledFacts(0);
        ASSERT_EQ(library::GetFacts(forFacts, &facts, FixedCpuid), HWID_OK);
        EXPECT_STREQ(facts.identifier, identifier);
    }
}

INSTANTIATE_TEST_SUITE_P(Library, Failures, ::testing::ValuesIn(kSteps),
                         [](const auto& p) { return std::string(p.param.name); });

// A back end that met a resource failure inside a call whose result does not
// show it (a sysfs read behind a descriptor that still came back).
class LatchingServices final : public DeviceServices {
  public:
    explicit LatchingServices(DeviceServices& inner, DWORD latched)
        : inner_(inner), latched_(latched) {}
    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override {
        return inner_.GetVersionExW(versionInfo);
    }
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override {
        return inner_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                  creationDisposition, flagsAndAttributes, templateFile);
    }
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                         void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                         void* overlapped) override {
        return inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                      outBufferSize, bytesReturned, overlapped);
    }
    DWORD GetLastError() override { return inner_.GetLastError(); }
    BOOL CloseHandle(HANDLE object) override { return inner_.CloseHandle(object); }
    void DescribeDriveZero(DriveZeroDescription& description) override {
        inner_.DescribeDriveZero(description);
    }
    DWORD ResourceFailure() override { return latched_; }

  private:
    DeviceServices& inner_;
    DWORD latched_;
};

TEST(LibraryResources, FailureTheBackEndKeptCounts) {
    for (const DWORD error : kResourceErrors) {
        test::ScriptedDeviceServices scripted;
        Script(scripted, false, Step::kNone, 0);
        LatchingServices services(scripted, error);
        char identifier[HWID_IDENTIFIER_SIZE] = {};
        EXPECT_EQ(library::GetIdentifier(services, identifier, FixedCpuid), HWID_RESOURCE_FAILURE);
        EXPECT_EQ(identifier[0], '\0');
    }
    // Anything else a back end might report is no resource failure.
    test::ScriptedDeviceServices scripted;
    Script(scripted, false, Step::kNone, 0);
    LatchingServices services(scripted, ERROR_ACCESS_DENIED);
    char identifier[HWID_IDENTIFIER_SIZE] = {};
    EXPECT_EQ(library::GetIdentifier(services, identifier, FixedCpuid), HWID_OK);
    EXPECT_EQ(std::string(identifier), IdentifierOf(kDescriptorSerial));
}

}  // namespace
}  // namespace hwid
