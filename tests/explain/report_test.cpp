#include "explain/report.h"

#include <gtest/gtest.h>

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

std::string Capture(void (*print)(const ExplainReport&, bool, std::FILE*),
                    const ExplainReport& report, bool showSerial) {
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

TEST_F(Explain, CompareRefusesWhatIsNotItsJson) {
    const ExplainReport& report = Build();
    for (const char* earlier : {"", "{", "not json", "{\"identifier\": \"X\"}", "[1, 2]",
                                "{\"cpu\": {\"signature\": \"0x1\"}} trailing"}) {
        EXPECT_EQ(Compare(report, earlier, nullptr), -1) << earlier;
    }
}

}  // namespace
}  // namespace hwid
