#include "explain/report.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/disk_replies.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

using test::ScriptedDeviceServices;
using test::ScriptedReply;

// "GenuineIntel", highest leaf 0x16.
void ScriptedCpuid(std::uint32_t leaf, CpuidRegisters& r) {
    if (leaf == 0) {
        r = {0x16, 0x756E6547, 0x6C65746E, 0x49656E69};
    } else {
        r = {0x100 * leaf, 0xFFFF, leaf, 0x10 * leaf};
    }
}

template <typename Print>
std::string Capture(Print print, const ExplainReport& report, bool showSerial) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    print(report, showSerial, file);
    std::rewind(file);
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, n);
    }
    std::fclose(file);
    return text;
}

int Compare(const ExplainReport& report, const std::string& earlier, std::string* printed) {
    std::FILE* file = std::tmpfile();
    const int result = CompareWithEarlier(report, earlier.c_str(), file);
    std::rewind(file);
    char chunk[4096];
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
    std::fclose(file);
    if (printed != nullptr) {
        printed->assign(chunk, n);
    }
    return result;
}

class Explain : public ::testing::Test {
  protected:
    Explain() {
        std::memset(&drive_, 0, sizeof drive_);
        drive_.found = true;
        std::strcpy(drive_.path, "/dev/sda");
        std::strcpy(drive_.bus, "ata");
        std::strcpy(drive_.reason, "the whole disk under the root file system");
    }

    // A drive that answers IDENTIFY with the given serial.
    void SmartDrive(const std::string& serial) {
        services_.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(0x01)});
        services_.Reply(
            SMART_RCV_DRIVE_DATA,
            {.result = 1,
             .bytes = test::IdentifyReply(test::IdentifyWords(serial, "DISK MODEL 1"))});
    }

    const ExplainReport& Build() {
        services_.driveZero = drive_;
        BuildExplainReport(report_, services_, ScriptedCpuid);
        return report_;
    }

    ScriptedDeviceServices services_;
    DriveZeroDescription drive_;
    ExplainReport report_;
};

TEST_F(Explain, TellsTheCpuAndGivesTheIdentifierHwidPrints) {
    SmartDrive("WD-WCC4N1234567");
    const ExplainReport& report = Build();
    EXPECT_STREQ(report.vendor, "GenuineIntel");
    EXPECT_EQ(report.highestLeaf, 0x16u);
    EXPECT_EQ(report.leavesSummed, 3);
    EXPECT_EQ(report.cpuSignature, QueryCpuSignature(ScriptedCpuid));
    EXPECT_STREQ(report.serial, "WD-WCC4N1234567");
    EXPECT_STREQ(report.model, "DISKMODEL1");

    std::array<char, kTextFieldSize> serial{};
    std::strcpy(serial.data(), "WD-WCC4N1234567");
    char expected[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(report.cpuSignature, serial), expected);
    EXPECT_STREQ(report.identifier, expected);
    EXPECT_EQ(report.foldValue, ComputeFoldValue(serial));
}

TEST_F(Explain, TellsDriveZeroAsTheBackEndDescribesIt) {
    SmartDrive("WD-WCC4N1234567");
    std::strcpy(drive_.path, "/dev/vdb");
    std::strcpy(drive_.bus, "virtio");
    const ExplainReport& report = Build();
    EXPECT_EQ(services_.describeCalls, 1);
    EXPECT_TRUE(report.drive.found);
    EXPECT_STREQ(report.drive.path, "/dev/vdb");
    EXPECT_STREQ(report.drive.bus, "virtio");
    EXPECT_STREQ(report.drive.reason, "the whole disk under the root file system");
}

TEST_F(Explain, SmartAnswerKeepsTheStoragePropertyProbeFromRunning) {
    SmartDrive("S3Z9NB0K123456");
    const ExplainReport& report = Build();
    EXPECT_TRUE(report.smart.ran && report.smart.opened && report.smart.answered);
    EXPECT_TRUE(report.smart.accepted);
    EXPECT_EQ(report.smart.command, 0xEC);
    EXPECT_STREQ(report.smart.serialField, "S3Z9NB0K123456");
    EXPECT_FALSE(report.storage.ran);
    EXPECT_EQ(services_.OpenCount(), 0u);
}

TEST_F(Explain, SaysWhyEachProbeTookNothing) {
    const struct {
        const char* name;
        void (*script)(ScriptedDeviceServices&);
        const char* smartReason;
        const char* storageReason;
    } cases[] = {
        {"no drive",
         [](ScriptedDeviceServices& s) {
             s.opens = {{false, ERROR_FILE_NOT_FOUND}, {false, ERROR_FILE_NOT_FOUND}};
         },
         "drive 0 could not be opened (error 2)", "drive 0 could not be opened (error 2)"},
        {"no SMART, descriptor without serial",
         [](ScriptedDeviceServices& s) {
             s.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                     {.result = 1,
                      .bytes = test::DescriptorReplyBytes({.vendor = "QEMU", .product = "HD"})});
             s.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
         },
         "the drive refused the SMART version request (error 1)",
         "the descriptor names no serial number"},
        {"IDENTIFY refused, property refused",
         [](ScriptedDeviceServices& s) {
             s.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(0x10)});
             s.Reply(SMART_RCV_DRIVE_DATA, {.result = 0, .error = ERROR_IO_DEVICE});
             s.Reply(IOCTL_STORAGE_QUERY_PROPERTY, {.result = 0, .error = ERROR_NOT_SUPPORTED});
         },
         "the drive refused the IDENTIFY request (error 1117)",
         "the drive refused the storage property request (error 50)"},
        {"serial of punctuation",
         [](ScriptedDeviceServices& s) {
             s.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(0x01)});
             s.Reply(SMART_RCV_DRIVE_DATA,
                     {.result = 1, .bytes = test::IdentifyReply(test::IdentifyWords("--", "M"))});
         },
         "neither the first nor the twentieth character of the serial is a letter or digit", ""},
    };
    for (const auto& c : cases) {
        services_ = ScriptedDeviceServices();
        c.script(services_);
        const ExplainReport& report = Build();
        EXPECT_STREQ(report.smart.reason, c.smartReason) << c.name;
        EXPECT_STREQ(report.storage.reason, c.storageReason) << c.name;
        EXPECT_STREQ(report.serial, "") << c.name;
        EXPECT_NE(Capture(PrintExplainText, report, false).find("warning: no serial number"),
                  std::string::npos)
            << c.name;
    }
}

TEST_F(Explain, NoProbeRunsOffTheNtPlatform) {
    services_.platformId = VER_PLATFORM_WIN32_WINDOWS;
    const ExplainReport& report = Build();
    EXPECT_FALSE(report.smart.ran);
    EXPECT_FALSE(report.storage.ran);
    EXPECT_NE(Capture(PrintExplainText, report, false).find("not Windows NT"), std::string::npos);
}

TEST_F(Explain, MasksTheSerialUnlessAskedToShowIt) {
    SmartDrive("WD-WCC4N1234567");
    const ExplainReport& report = Build();
    const std::string masked = Capture(PrintExplainText, report, false);
    EXPECT_EQ(masked.find("WD-WCC4N"), std::string::npos);
    EXPECT_NE(masked.find("\"***********4567\""), std::string::npos) << masked;
    EXPECT_NE(Capture(PrintExplainText, report, true).find("\"WD-WCC4N1234567\""),
              std::string::npos);
    const std::string json = Capture(PrintExplainJson, report, false);
    EXPECT_EQ(json.find("WD-WCC4N"), std::string::npos);
    EXPECT_NE(json.find("\"serial\": \"***********4567\""), std::string::npos) << json;
}

TEST(MaskSerial, KeepsOnlyTheLastFourCharacters) {
    const struct {
        const char* serial;
        const char* masked;
    } cases[] = {{"", ""},
                 {"AB", "**"},
                 {"ABCD", "****"},
                 {"ABCDE", "*BCDE"},
                 {"1136632498710136", "************0136"}};
    for (const auto& c : cases) {
        char out[64];
        MaskSerial(c.serial, out, sizeof out);
        EXPECT_STREQ(out, c.masked) << c.serial;
    }
}

TEST_F(Explain, JsonCarriesTheStableFields) {
    SmartDrive("SN\"1\\2");
    const std::string json = Capture(PrintExplainJson, Build(), true);
    for (const char* field :
         {"\"cpu\": {\"vendor\": \"GenuineIntel\", \"highest_leaf\": 22, \"leaves_summed\": [0, "
          "1, 2], \"signature\": \"0x",
          "\"drive\": {\"found\": true, \"path\": \"/dev/sda\", \"bus\": \"ata\"",
          "\"smart_probe\": {\"ran\": true, \"opened\": true", "\"storage_probe\": {\"ran\": false",
          "\"serial\": \"SN\\\"1\\\\2\"", "\"serial_obtained\": true", "\"fold_value\": \"0x",
          "\"identifier\": \"", "\"warning\": \"\""}) {
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    }
}

TEST_F(Explain, JsonGivesTheDriveBytesBack) {
    SmartDrive("SN-1");
    Build();
    std::strcpy(report_.model, "M\x01\x7F\x80\xFF\"\\\t/");
    std::strcpy(report_.drive.path, "/dev/\xE9");
    const std::string json = Capture(PrintExplainJson, report_, true);
    for (const char c : json) {
        ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << json;
    }
    EarlierReport earlier;
    std::string error;
    ASSERT_TRUE(ParseEarlierJson(json, earlier, error)) << error << "\n" << json;
    EXPECT_EQ(earlier.model, report_.model);
    EXPECT_EQ(earlier.drivePath, report_.drive.path);
    EXPECT_EQ(earlier.identifier, report_.identifier);
}

TEST_F(Explain, CompareSaysWhichInputsChanged) {
    SmartDrive("SERIAL-ONE");
    const std::string earlier = Capture(PrintExplainJson, Build(), false);
    std::string printed;
    services_ = ScriptedDeviceServices();  // the replies were used up
    SmartDrive("SERIAL-ONE");
    EXPECT_EQ(Compare(Build(), earlier, &printed), 0) << printed;
    EXPECT_EQ(printed.find("changed (was"), std::string::npos) << printed;

    services_ = ScriptedDeviceServices();
    SmartDrive("SERIAL-TWO");
    EXPECT_EQ(Compare(Build(), earlier, &printed), 1);
    EXPECT_NE(printed.find("serial:        changed"), std::string::npos) << printed;
    EXPECT_NE(printed.find("identifier:    changed"), std::string::npos) << printed;
    EXPECT_NE(printed.find("CPU signature: unchanged"), std::string::npos) << printed;

    std::strcpy(drive_.path, "/dev/nvme0n1");
    services_ = ScriptedDeviceServices();
    SmartDrive("SERIAL-ONE");
    EXPECT_EQ(Compare(Build(), earlier, &printed), 1);
    EXPECT_NE(printed.find("drive:         changed (was /dev/sda, now /dev/nvme0n1)"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("serial:        unchanged"), std::string::npos) << printed;
}

// Tells failures and the serial's source as a Linux back end does.
class DescribingServices final : public DeviceServices {
  public:
    explicit DescribingServices(ScriptedDeviceServices& inner) : inner_(inner) {}
    BOOL GetVersionExW(OSVERSIONINFOW* info) override { return inner_.GetVersionExW(info); }
    HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                       DWORD disposition, DWORD flags, HANDLE from) override {
        return inner_.CreateFileA(name, access, share, security, disposition, flags, from);
    }
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* written, void* overlapped) override {
        return inner_.DeviceIoControl(device, code, in, inSize, out, outSize, written, overlapped);
    }
    DWORD GetLastError() override { return inner_.GetLastError(); }
    BOOL CloseHandle(HANDLE object) override { return inner_.CloseHandle(object); }
    bool DescribeLastError(char* text, std::size_t size) override {
        std::snprintf(text, size, "%s",
                      inner_.GetLastError() == ERROR_ACCESS_DENIED
                          ? "EPERM: Operation not permitted"
                          : "EIO: Input/output error");
        return true;
    }
    bool DescribeSerialSource(char* text, std::size_t size) override {
        std::snprintf(text, size, "/sys/block/vda/serial");
        return true;
    }
    void DescribeDriveZero(DriveZeroDescription& description) override {
        inner_.DescribeDriveZero(description);
    }

  private:
    ScriptedDeviceServices& inner_;
};

TEST_F(Explain, SpeaksThePlatformWhenTheBackEndCanTell) {
    services_.opens = {{false, ERROR_ACCESS_DENIED}, {true, 0}};
    services_.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                    {.result = 1, .bytes = test::DescriptorReplyBytes({.serial = "VIRTIO-6759"})});
    services_.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 0, .error = ERROR_IO_DEVICE});
    services_.driveZero = drive_;
    DescribingServices describing(services_);
    BuildExplainReport(report_, describing, ScriptedCpuid);
    EXPECT_STREQ(report_.smart.reason,
                 "drive 0 could not be opened (EPERM: Operation not permitted)");
    EXPECT_STREQ(report_.storage.serialSource, "/sys/block/vda/serial");
    const std::string text = Capture(PrintExplainText, report_, true);
    EXPECT_NE(text.find("  opened the drive:    no (EPERM: Operation not permitted)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  serial read from:    /sys/block/vda/serial\n"), std::string::npos)
        << text;
    const std::string json = Capture(PrintExplainJson, report_, true);
    EXPECT_NE(json.find("\"open_error\": 5,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"error_text\": \"EPERM: Operation not permitted\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"serial_source\": \"/sys/block/vda/serial\""), std::string::npos) << json;

    // Without a back end that can tell, the code stays.
    services_ = ScriptedDeviceServices();
    services_.opens = {{false, ERROR_ACCESS_DENIED}, {false, ERROR_ACCESS_DENIED}};
    Build();
    EXPECT_STREQ(report_.smart.reason, "drive 0 could not be opened (error 5)");
    EXPECT_NE(Capture(PrintExplainText, report_, false).find("opened the drive:    no (error 5)"),
              std::string::npos);
}

std::string IdentifierFor(std::uint32_t cpuSignature, const char* serial) {
    std::array<char, kTextFieldSize> text{};
    std::strcpy(text.data(), serial);
    char identifier[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(cpuSignature, text), identifier);
    return identifier;
}

TEST_F(Explain, WarnsWhenARunWithoutPrivilegePrintsAnotherIdentifier) {
    // IDENTIFY drops every space; the descriptor path decodes a hex-looking
    // serial.
    SmartDrive("E2E SATA 02");
    services_.Reply(
        IOCTL_STORAGE_QUERY_PROPERTY,
        {.result = 1,
         .bytes = test::DescriptorReplyBytes({.product = "DISK", .serial = "4532452d53415441"})});
    services_.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
    const ExplainReport& report = Build();
    EXPECT_STREQ(report.serial, "E2ESATA02");
    ASSERT_TRUE(report.unprivileged.derived);
    EXPECT_STREQ(report.unprivileged.serial, "E2E-SATA");
    const std::string privileged = IdentifierFor(report.cpuSignature, "E2ESATA02");
    const std::string unprivileged = IdentifierFor(report.cpuSignature, "E2E-SATA");
    EXPECT_EQ(report.identifier, privileged);
    EXPECT_EQ(report.unprivileged.identifier, unprivileged);
    EXPECT_EQ(services_.OpenCount(), 0u);

    const std::string text = Capture(PrintExplainText, report, true);
    EXPECT_NE(text.find("warning: the identifier depends on privilege: this run sent IDENTIFY and "
                        "read the serial \"E2ESATA02\" (identifier " +
                        privileged +
                        "); a run without the rights to send it reads \"E2E-SATA\" from the "
                        "storage descriptor and prints " +
                        unprivileged),
              std::string::npos)
        << text;
    const std::string json = Capture(PrintExplainJson, report, true);
    EXPECT_NE(json.find("\"unprivileged\": {\"serial\": \"E2E-SATA\", \"identifier\": \"" +
                        unprivileged + "\", \"differs\": true}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"warnings\": [\"the identifier depends on privilege"), std::string::npos)
        << json;
    // Masked unless asked.
    EXPECT_EQ(Capture(PrintExplainText, report, false).find("E2E-SATA"), std::string::npos);
}

TEST_F(Explain, NoPrivilegeWarningWhenBothPathsAgreeOrIdentifyWasNotSent) {
    SmartDrive("ABC12345");
    services_.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                    {.result = 1, .bytes = test::DescriptorReplyBytes({.serial = "ABC12345"})});
    services_.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
    const ExplainReport& agreeing = Build();
    ASSERT_TRUE(agreeing.unprivileged.derived);
    EXPECT_STREQ(agreeing.unprivileged.identifier, agreeing.identifier);
    EXPECT_EQ(Capture(PrintExplainText, agreeing, true).find("depends on privilege"),
              std::string::npos);
    EXPECT_NE(Capture(PrintExplainJson, agreeing, true).find("\"differs\": false"),
              std::string::npos);

    services_ = ScriptedDeviceServices();
    services_.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                    {.result = 1, .bytes = test::DescriptorReplyBytes({.serial = "ABC12345"})});
    const ExplainReport& unprivileged = Build();
    EXPECT_FALSE(unprivileged.unprivileged.derived);
    EXPECT_NE(Capture(PrintExplainJson, unprivileged, true).find("\"unprivileged\": null"),
              std::string::npos);
}

TEST(WeakSerial, NamesWhyManyMachinesShareIt) {
    const struct {
        const char* serial;
        const char* reason;  // nullptr: not weak
    } cases[] = {
        {"QM00001", "QEMU's default serial for an IDE or SATA disk that was given none"},
        {"QM00003", "QEMU's default serial for an IDE or SATA disk that was given none"},
        {"qm00002", "QEMU's default serial for an IDE or SATA disk that was given none"},
        {"0000000000", "all zeros"},
        {"0", "all zeros"},
        {"FFFFFFFF", "one character repeated"},
        {"0123456789", "a placeholder, not a serial number"},
        {"1234567890", "a placeholder, not a serial number"},
        {"Not Specified", "a placeholder, not a serial number"},
        {"NotSpecified", "a placeholder, not a serial number"},
        {"To be filled by O.E.M.", "a placeholder, not a serial number"},
        {"TobefilledbyO.E.M.", "a placeholder, not a serial number"},
        {"Default string", "a placeholder, not a serial number"},
        {"", nullptr},
        {"X", nullptr},
        {"QM000010", nullptr},
        {"QM0000A", nullptr},
        {"VB2c3d4e5f-6a7b8c9d", nullptr},  // VirtualBox: random a disk
        {"WD-WCC4N1234567", nullptr},
        {"00000001", nullptr},
        {"012345678", nullptr},
    };
    for (const auto& c : cases) {
        const char* reason = WeakSerialReason(c.serial);
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, nullptr) << c.serial << ": " << reason;
        } else {
            EXPECT_STREQ(reason, c.reason) << c.serial;
        }
    }
}

TEST_F(Explain, WarnsOfAWeakSerialWithoutChangingTheIdentifier) {
    SmartDrive("QM00001");
    const ExplainReport& report = Build();
    EXPECT_EQ(report.identifier, IdentifierFor(report.cpuSignature, "QM00001"));
    const std::string text = Capture(PrintExplainText, report, false);
    EXPECT_NE(text.find("warning: the serial is one that many machines share (QEMU's default "
                        "serial for an IDE or SATA disk that was given none)"),
              std::string::npos)
        << text;
    EXPECT_NE(Capture(PrintExplainJson, report, false)
                  .find("\"weak_serial\": \"QEMU's default serial for an IDE or SATA disk that was "
                        "given none\""),
              std::string::npos);
}

TEST_F(Explain, CompareAnswersByTheIdentifierAlone) {
    SmartDrive("SERIAL-ONE");
    const ExplainReport& report = Build();
    EarlierReport same;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", report.cpuSignature);
    same.cpuSignature = text;
    same.drivePath = report.drive.path;
    same.hasDriveBus = true;
    same.driveBus = report.drive.bus;
    same.model = report.model;
    same.serialObtained = true;
    std::snprintf(text, sizeof text, "0x%08X", report.foldValue);
    same.foldValue = text;
    same.identifier = report.identifier;

    const auto compare = [&report](const EarlierReport& earlier, bool json, std::string& printed) {
        std::FILE* file = std::tmpfile();
        const CompareResult result = CompareReports(report, earlier, json, file);
        std::rewind(file);
        char chunk[4096];
        printed.assign(chunk, std::fread(chunk, 1, sizeof chunk, file));
        std::fclose(file);
        EXPECT_TRUE(result.printed);
        return result;
    };
    std::string printed;
    CompareResult result = compare(same, false, printed);
    EXPECT_FALSE(result.anyChanged || result.identifierChanged) << printed;

    EarlierReport described = same;
    described.model = "OTHER MODEL";
    described.driveBus = "usb";
    for (char& c : described.identifier) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    result = compare(described, false, printed);
    EXPECT_TRUE(result.anyChanged);
    EXPECT_FALSE(result.identifierChanged) << printed;
    EXPECT_NE(printed.find("model:         changed (was OTHER MODEL, now DISKMODEL1)"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("bus:           changed (was usb, now ata)"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("identifier:    unchanged"), std::string::npos) << printed;

    compare(described, true, printed);
    EXPECT_NE(printed.find("\"identifier_changed\": false,\n  \"changed\": [\"bus\", \"model\"]"),
              std::string::npos)
        << printed;

    EarlierReport other = same;
    other.identifier[0] = other.identifier[0] == 'A' ? 'B' : 'A';
    result = compare(other, true, printed);
    EXPECT_TRUE(result.identifierChanged);
    EXPECT_NE(printed.find("\"identifier_changed\": true,\n  \"changed\": [\"identifier\"]"),
              std::string::npos)
        << printed;
}

TEST_F(Explain, CompareRefusesWhatIsNotItsJson) {
    const ExplainReport& report = Build();
    for (const char* earlier : {"", "{", "not json", "{\"identifier\": \"X\"}", "[1, 2]",
                                "{\"cpu\": {\"signature\": \"0x1\"}} trailing"}) {
        EXPECT_EQ(Compare(report, earlier, nullptr), -1) << earlier;
    }
}

}  // namespace
}  // namespace hwid
