// The ATA and SCSI byte functions: the pass-through CDB, sense data, the
// outcome of a pass-through and HDIO_GET_IDENTITY's byte order.
#include "linux_fixtures.h"

namespace hwid {
namespace {

using namespace linux_fixtures;
using test::FromHex;
using test::TextOf;

TEST(AtaPassThroughCdb, IsPioDataInOfOneBlockWithCkCondClear) {
    EXPECT_EQ(test::ToHex(linux_backend::BuildAtaPassThroughCdb(ID_CMD)),
              "85"              // ATA PASS-THROUGH(16)
              "08"              // protocol 4: PIO data-in
              "0E"              // T_DIR from the device, BYTE_BLOCK, T_LENGTH in the count
              "000000"          // features
              "01"              // sector count: one block
              "00000000000000"  // LBA and device
              "EC00");          // command, control
    const auto packet = linux_backend::BuildAtaPassThroughCdb(ATAPI_ID_CMD);
    EXPECT_EQ(packet[14], 0xA1);
    EXPECT_EQ(packet[2] & 0x20, 0) << "CK_COND";
    EXPECT_EQ(test::ToHex(linux_backend::BuildInquiryCdb(0x80, 252)), "12018000FC00");
}

struct SenseCase {
    const char* name;
    const char* hex;
    bool valid;
    int senseKey;
    bool hasAta;
    int ataStatus;
    int ataError;
};

class SenseParsing : public testing::TestWithParam<SenseCase> {};

TEST_P(SenseParsing, ReadsFixedAndDescriptorFormats) {
    const SenseCase& c = GetParam();
    const std::vector<std::uint8_t> sense = FromHex(c.hex);
    const linux_backend::SenseInfo info = linux_backend::ParseSense(sense);
    EXPECT_EQ(info.valid, c.valid);
    EXPECT_EQ(info.senseKey, c.senseKey);
    EXPECT_EQ(info.hasAtaRegisters, c.hasAta);
    EXPECT_EQ(info.ataStatus, c.ataStatus);
    EXPECT_EQ(info.ataError, c.ataError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenseParsing,
    testing::Values(
        SenseCase{"Empty", "", false, 0, false, 0, 0},
        SenseCase{"UnknownFormat", "7F00000000000000", false, 0, false, 0, 0},
        SenseCase{"FixedIllegalRequest", "70000500000000 0A00000000 2400 000000", true, 5, false, 0,
                  0},
        // Fixed, ATA PASS-THROUGH INFORMATION AVAILABLE: ERROR 04, STATUS 51.
        SenseCase{"FixedWithAtaRegisters", "70000104 51A0010A 00000000 001D0000", true, 1, true,
                  0x51, 0x04},
        SenseCase{"FixedTooShortForRegisters", "70000104 5100", true, 1, false, 0, 0},
        // Descriptor: ATA Status Return descriptor with STATUS 50.
        SenseCase{"DescriptorWithAtaStatus", "7201001D 0000000E 090C0000 00010000 00000000 A050",
                  true, 1, true, 0x50, 0},
        // An information descriptor (00) first, then the ATA one with ERROR 04, STATUS 51.
        SenseCase{"DescriptorAfterAnother",
                  "720B0000 0000001A 000A8000 00000000 00000000 090C0004 00010000 00000000 A051",
                  true, 0x0B, true, 0x51, 0x04},
        // The ATA descriptor claims more than the additional length holds.
        SenseCase{"DescriptorCut", "72010000 00000008 090C0000 00010000", true, 1, false, 0, 0},
        // The additional length claims more than the bytes given.
        SenseCase{"AdditionalLengthPastTheData", "72010000 000000FF 090C0000 0001", true, 1, false,
                  0, 0},
        SenseCase{"DescriptorHeaderOnly", "720500", false, 0, false, 0, 0}),
    [](const testing::TestParamInfo<SenseCase>& param) { return param.param.name; });

struct OutcomeCase {
    const char* name;
    linux_backend::ScsiOutcome outcome;
    const char* senseHex;
    bool succeeded;
};

class PassThroughOutcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(PassThroughOutcome, AcceptsOnlyCleanCompletions) {
    const OutcomeCase& c = GetParam();
    const std::vector<std::uint8_t> sense = FromHex(c.senseHex);
    EXPECT_EQ(linux_backend::AtaPassThroughSucceeded(c.outcome, sense), c.succeeded);
}

constexpr char kAtaOkSense[] = "7201001D 0000000E 090C0000 00010000 00000000 A050";
constexpr char kAtaErrSense[] = "7201001D 0000000E 090C0004 00010000 00000000 A051";
constexpr char kAtaDfSense[] = "7201001D 0000000E 090C0000 00010000 00000000 A070";

INSTANTIATE_TEST_SUITE_P(
    Cases, PassThroughOutcome,
    testing::Values(OutcomeCase{"Good", {0, 0, 0, 0}, "", true},
                    OutcomeCase{"GoodWithSenseFlag", {0, 0, 0x08, 0}, "", true},
                    OutcomeCase{"GoodButShort", {0, 0, 0, 512}, "", false},
                    OutcomeCase{"GoodButPartlyShort", {0, 0, 0, 2}, "", false},
                    OutcomeCase{"HostError", {0, 0x01, 0, 0}, "", false},
                    OutcomeCase{"DriverTimeout", {0, 0, 0x06, 0}, "", false},
                    OutcomeCase{"Busy", {0x08, 0, 0, 0}, "", false},
                    OutcomeCase{"CheckConditionAtaOk", {0x02, 0, 0x08, 0}, kAtaOkSense, true},
                    OutcomeCase{"CheckConditionAtaErr", {0x02, 0, 0x08, 0}, kAtaErrSense, false},
                    OutcomeCase{
                        "CheckConditionAtaDeviceFault", {0x02, 0, 0x08, 0}, kAtaDfSense, false},
                    OutcomeCase{"CheckConditionIllegalRequest",
                                {0x02, 0, 0x08, 0},
                                "70000500000000 0A00000000 2000 000000",
                                false},
                    OutcomeCase{"CheckConditionWithoutSense", {0x02, 0, 0x08, 0}, "", false},
                    OutcomeCase{"GoodWithErrInSense", {0, 0, 0x08, 0}, kAtaErrSense, false}),
    [](const testing::TestParamInfo<OutcomeCase>& param) { return param.param.name; });

TEST(HdioIdentity, PutsTheStringsBackInAtaWordOrder) {
    // As HDIO_GET_IDENTITY hands it over: numbers little-endian (x86),
    // strings in reading order.
    std::array<std::uint8_t, 512> data{};
    data[0] = 0x40;  // word 0: fixed ATA device
    data[2 * 9] = 0x12;
    data[2 * 9 + 1] = 0x34;
    const std::string serial = "SN-0123456789ABCDE  ";              // words 10-19
    const std::string firmware = "FW1.0   ";                        // words 23-26
    const std::string model = "MODEL NAME" + std::string(30, ' ');  // words 27-46
    std::memcpy(&data[20], serial.data(), 20);
    std::memcpy(&data[46], firmware.data(), 8);
    std::memcpy(&data[54], model.data(), 40);
    data[2 * 47] = 0x80;
    data[2 * 47 + 1] = 0x01;
    linux_backend::HdioIdentityToAtaOrder(data);

    EXPECT_EQ(test::ToHex(std::span(data).subspan(20, 4)), "4E53302D");  // "NS0-"
    EXPECT_EQ(data[0], 0x40);
    EXPECT_EQ(data[18], 0x12) << "word 9 is a number";
    EXPECT_EQ(data[94], 0x80) << "word 47 is a number";
    EXPECT_EQ(test::ToHex(std::span(data).subspan(46, 4)), "57462E31");  // "WF.1"

    // What the SMART probe reads from the words.
    std::uint32_t words[256];
    for (std::size_t i = 0; i < 256; ++i) {
        words[i] = data[2 * i] | static_cast<std::uint32_t>(data[2 * i + 1]) << 8;
    }
    DiskIdentity identity{};
    ExtractIdentifyStrings(identity, words);
    EXPECT_EQ(TextOf(identity.serialText), "SN-0123456789ABCDE");
    EXPECT_EQ(TextOf(identity.modelText), "MODELNAME");
}

}  // namespace
}  // namespace hwid
