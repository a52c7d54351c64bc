#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"
#include "support/disk_replies.h"
#include "support/hex.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

using test::Operation;
using test::PutText;
using test::ScriptedDeviceServices;
using test::ScriptedReply;
using test::TextOf;
using test::UsedRecord;

const std::string kModelField = "DISK MODEL 1";

// An IDENTIFY reply with the serial "ABCD12345678" built byte by byte: data bytes
// 20-27 blank, 28-39 as the drive stores them, high and low byte swapped.
std::vector<std::uint8_t> WorkedExampleReply() {
    std::vector<std::uint8_t> reply = test::IdentifyReply(test::IdentifyWords("", kModelField));
    const std::vector<std::uint8_t> serial =
        test::FromHex("2020202020202020 424144433231343336353837");
    std::copy(serial.begin(), serial.end(), reply.begin() + 16 + 20);
    return reply;
}

// --- ReadPhysicalDriveWithSmart: result, diagnostic and handles per outcome ---

enum class Diagnostic { kZeroFilled, kUnchanged };

struct SmartCase {
    const char* name;
    bool opens;
    BOOL versionResult;
    std::vector<std::uint8_t> versionBytes;  // what the driver writes, even on failure
    bool identifySent;
    BOOL identifyResult;
    std::string serialField;
    int result;
    Diagnostic diagnostic;
    std::string serialText;
    std::string modelText;
};

class SmartFailureTable : public ::testing::TestWithParam<SmartCase> {};

TEST_P(SmartFailureTable, ResultDiagnosticAndHandles) {
    const SmartCase& c = GetParam();
    ScriptedDeviceServices services;
    services.opens.push_back({.succeeds = c.opens});
    services.Reply(SMART_GET_VERSION, {.result = c.versionResult, .bytes = c.versionBytes});
    services.Reply(SMART_RCV_DRIVE_DATA,
                   {.result = c.identifyResult,
                    .bytes = test::IdentifyReply(test::IdentifyWords(c.serialField, kModelField))});
    DiskIdentity identity = UsedRecord();
    const DiskIdentity before = identity;

    EXPECT_EQ(ReadPhysicalDriveWithSmart(identity, services), c.result);

    if (c.diagnostic == Diagnostic::kZeroFilled) {
        EXPECT_TRUE(std::all_of(identity.diagnosticText.begin(), identity.diagnosticText.end(),
                                [](char b) { return b == 0; }));
    } else {
        EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
    }
    EXPECT_EQ(TextOf(identity.serialText), c.serialText);
    EXPECT_EQ(TextOf(identity.modelText), c.modelText);

    std::vector<DWORD> codes;
    for (const auto& call : services.CallsOf(Operation::DeviceIoControl)) {
        codes.push_back(call.controlCode);
    }
    if (!c.opens) {
        EXPECT_TRUE(codes.empty());
    } else if (c.identifySent) {
        EXPECT_EQ(codes, (std::vector<DWORD>{SMART_GET_VERSION, SMART_RCV_DRIVE_DATA}));
    } else {
        EXPECT_EQ(codes, std::vector<DWORD>{SMART_GET_VERSION});
    }

    const int opened = c.opens ? 1 : 0;
    EXPECT_EQ(services.opened, opened);
    EXPECT_EQ(services.closed, opened);
    EXPECT_EQ(services.CallsOf(Operation::CloseHandle).size(), static_cast<std::size_t>(opened));
    EXPECT_EQ(services.badCloses, 0);
    EXPECT_EQ(services.unknownUses, 0);
    EXPECT_LE(services.maxOpenAtOnce, 1);
    if (c.opens) {
        EXPECT_EQ(services.Sequence().back(), Operation::CloseHandle);
    }
}

const std::string kGoodSerial = "        ABCD12345678";

INSTANTIATE_TEST_SUITE_P(
    ReadPhysicalDriveWithSmart, SmartFailureTable,
    ::testing::Values(
        SmartCase{"OpenFails", false, 1, test::VersionReply(0x01), false, 1, kGoodSerial, 0,
                  Diagnostic::kZeroFilled, "", "MODEL FROM BEFORE"},
        SmartCase{"VersionFailsWithoutDeviceMap",
                  true,
                  0,
                  {},
                  false,
                  1,
                  kGoodSerial,
                  0,
                  Diagnostic::kZeroFilled,
                  "",
                  "MODEL FROM BEFORE"},
        // A driver that fails the version request but fills in the map still
        // gets the IDENTIFY request.
        SmartCase{"VersionFailsWithDeviceMap", true, 0, test::VersionReply(0x01), true, 1,
                  kGoodSerial, 1, Diagnostic::kZeroFilled, "ABCD12345678", "DISKMODEL1"},
        SmartCase{"VersionFailsThenIdentifyRefused", true, 0, test::VersionReply(0x01), true, 0,
                  kGoodSerial, 0, Diagnostic::kZeroFilled, "", "MODEL FROM BEFORE"},
        SmartCase{"NoDeviceMap", true, 1, test::VersionReply(0x00), false, 1, kGoodSerial, 0,
                  Diagnostic::kZeroFilled, "", "MODEL FROM BEFORE"},
        SmartCase{"IdentifyRefused", true, 1, test::VersionReply(0x01), true, 0, kGoodSerial, 0,
                  Diagnostic::kUnchanged, "", "MODEL FROM BEFORE"},
        SmartCase{"StringsRejected", true, 1, test::VersionReply(0x01), true, 1,
                  std::string(20, ' '), 1, Diagnostic::kUnchanged, "", "MODEL FROM BEFORE"},
        SmartCase{"StringsAccepted", true, 1, test::VersionReply(0x01), true, 1, kGoodSerial, 1,
                  Diagnostic::kUnchanged, "ABCD12345678", "DISKMODEL1"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- ReadPhysicalDriveWithSmart: the requests ------------------------------

TEST(ReadPhysicalDriveWithSmart, OpensDriveZeroForReadAndWrite) {
    ScriptedDeviceServices services;
    DiskIdentity identity = UsedRecord();
    ReadPhysicalDriveWithSmart(identity, services);

    const auto opens = services.CallsOf(Operation::CreateFileA);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(opens[0].desiredAccess, 0xC0000000u);
    EXPECT_EQ(opens[0].shareMode, 3u);
    EXPECT_FALSE(opens[0].securityAttributes);
    EXPECT_EQ(opens[0].creationDisposition, 3u);
    EXPECT_EQ(opens[0].flagsAndAttributes, 0u);
    EXPECT_FALSE(opens[0].templateFile);
}

struct CommandCase {
    std::uint8_t deviceMap;
    const char* command;  // the 32 bytes of SENDCMDINPARAMS, hex
};

class SmartRequests : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SmartRequests, SendsVersionThenIdentifyOnTheSameHandle) {
    const CommandCase& c = GetParam();
    ScriptedDeviceServices services;
    services.Reply(SMART_GET_VERSION, {.result = 1, .bytes = test::VersionReply(c.deviceMap)});
    const std::vector<std::uint8_t> reply = WorkedExampleReply();
    services.Reply(SMART_RCV_DRIVE_DATA, {.result = 1, .bytes = reply});
    DiskIdentity identity = UsedRecord();

    EXPECT_EQ(ReadPhysicalDriveWithSmart(identity, services), 1);

    const auto requests = services.CallsOf(Operation::DeviceIoControl);
    ASSERT_EQ(requests.size(), 2u);
    const auto& version = requests[0];
    EXPECT_EQ(version.controlCode, 0x74080u);
    EXPECT_FALSE(version.inBufferGiven);
    EXPECT_EQ(version.inBufferSize, 0u);
    EXPECT_EQ(version.outBufferSize, 24u);
    EXPECT_TRUE(version.outBufferZeroed);
    EXPECT_TRUE(version.bytesReturnedGiven);
    EXPECT_FALSE(version.overlapped);

    const auto& identify = requests[1];
    EXPECT_EQ(identify.controlCode, 0x7C088u);
    EXPECT_EQ(identify.inBufferSize, 32u);
    EXPECT_EQ(test::ToHex(identify.input), c.command);
    EXPECT_EQ(identify.outBufferSize, 528u);
    EXPECT_TRUE(identify.outBufferZeroed) << "smartReply must be cleared before the request";
    EXPECT_TRUE(identify.bytesReturnedGiven);
    EXPECT_FALSE(identify.overlapped);

    const auto close = services.CallsOf(Operation::CloseHandle);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(version.handle, identify.handle);
    EXPECT_EQ(close[0].handle, identify.handle);

    // The raw reply stays in the record, and its header is not in the way.
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), identity.smartReply.begin()));
    EXPECT_EQ(TextOf(identity.serialText), "ABCD12345678");
    EXPECT_EQ(TextOf(identity.modelText), "DISKMODEL1");
}

// SENDCMDINPARAMS as sent: cBufferSize 512; IDEREGS features 0, sector count
// 1, sector number 0, cylinder 0, drive/head A0, the command, reserved 0;
// drive number 0; reserved zeros.
const char kIdentifyDevice[] =
    "00020000"
    "00010000"
    "00A0EC00"
    "00000000"
    "00000000000000000000000000000000";
const char kIdentifyPacketDevice[] =
    "00020000"
    "00010000"
    "00A0A100"
    "00000000"
    "00000000000000000000000000000000";

INSTANTIATE_TEST_SUITE_P(ReadPhysicalDriveWithSmart, SmartRequests,
                         ::testing::Values(CommandCase{0x01, kIdentifyDevice},
                                           CommandCase{0x02, kIdentifyDevice},
                                           CommandCase{0xEF, kIdentifyDevice},
                                           CommandCase{0x10, kIdentifyPacketDevice},
                                           CommandCase{0x11, kIdentifyPacketDevice},
                                           CommandCase{0xFF, kIdentifyPacketDevice}));

// --- IdentifyWordsToText ----------------------------------------------------

struct TextCase {
    const char* name;
    std::vector<std::uint32_t> words;  // placed from word `first` on
    int first;
    int last;
    std::string written;  // every byte of out that the call writes, in order
};

class IdentifyWordsToTextTable : public ::testing::TestWithParam<TextCase> {};

TEST_P(IdentifyWordsToTextTable, ConvertsAndTrims) {
    const TextCase& c = GetParam();
    test::Words words;
    words.fill(0x5858);  // "XX" in every word outside the case
    std::copy(c.words.begin(), c.words.end(), words.begin() + c.first);
    std::array<char, 64> out;
    out.fill('#');

    EXPECT_EQ(IdentifyWordsToText(words, c.first, c.last, out), out.data());

    EXPECT_EQ(std::string(out.data(), c.written.size()), c.written);
    EXPECT_EQ(out[c.written.size()], '#') << "wrote past the text";
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    IdentifyWordsToText, IdentifyWordsToTextTable,
    ::testing::Values(
        TextCase{"WorkedExample",
                 {0x2020, 0x2020, 0x2020, 0x2020, 0x4142, 0x4344, 0x3132, 0x3334, 0x3536, 0x3738},
                 10,
                 19,
                 "ABCD12345678\0"s},
        TextCase{"SpacesInsideDropped", {0x4120, 0x2042, 0x4320}, 27, 29, "ABC\0"s},
        TextCase{
            "TrailingControlsTrimmed", {0x4142, 0x090D, 0x0A0B, 0x0C20}, 0, 3, "AB\0\0\0\0\0\0"s},
        TextCase{"LeadingAndInnerTabsKept", {0x0941, 0x0942}, 0, 1, "\tA\tB\0"s},
        TextCase{"OneByteTabNotTrimmed", {0x2009}, 0, 0, "\t\0"s},
        TextCase{"TwoTabsLoseTheSecond", {0x0909}, 0, 0, "\t\0\0"s},
        TextCase{"OneLetter", {0x4120}, 0, 0, "A\0"s},
        TextCase{"ZeroBytesStored", {0x0000, 0x0000}, 0, 1, "\0\0\0\0\0"s},
        // The zero byte ends the text and stops the trim: the tab before it
        // stays.
        TextCase{"ZeroByteStopsTrim", {0x4109, 0x0009}, 0, 1, "A\t\0\0\0"s},
        TextCase{"HighBytesStored", {0x80FF}, 0, 0, "\x80\xFF\0"s},
        TextCase{"FirstGreaterThanLast", {}, 5, 4, "\0"s}),
    [](const auto& p) { return std::string(p.param.name); });

// --- ExtractIdentifyStrings -------------------------------------------------

struct AcceptCase {
    const char* name;
    std::string serialField;  // 20 characters, padded with spaces
    std::string modelField;
    std::string serialTextBefore;
    bool accepted;
    std::string serialText;  // on acceptance
    std::string modelText;
};

class ExtractIdentifyStringsTable : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(ExtractIdentifyStringsTable, AcceptsOnFirstOrTwentiethByte) {
    const AcceptCase& c = GetParam();
    DiskIdentity identity = UsedRecord();
    PutText(identity.serialText, c.serialTextBefore);
    const DiskIdentity before = identity;

    ExtractIdentifyStrings(identity, test::IdentifyWords(c.serialField, c.modelField));

    if (c.accepted) {
        EXPECT_EQ(TextOf(identity.serialText), c.serialText);
        EXPECT_EQ(TextOf(identity.modelText), c.modelText);
    } else {
        EXPECT_EQ(identity.serialText, before.serialText);
        EXPECT_EQ(identity.modelText, before.modelText);
    }
    EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
}

INSTANTIATE_TEST_SUITE_P(
    ExtractIdentifyStrings, ExtractIdentifyStringsTable,
    ::testing::Values(
        AcceptCase{"WorkedExample", kGoodSerial, kModelField, "", true, "ABCD12345678",
                   "DISKMODEL1"},
        AcceptCase{"SpacesDroppedInBothFields", "AB CD  EF", " DISK  MODEL 1 ", "", true, "ABCDEF",
                   "DISKMODEL1"},
        AcceptCase{"TwentySpaces", std::string(20, ' '), kModelField, "", false, "", ""},
        AcceptCase{"TwentyZeroBytes", std::string(20, '\0'), kModelField, "", false, "", ""},
        AcceptCase{"HyphenFirstTwentiethAlnum", "-0123456789ABCDEFGHI", kModelField, "", true,
                   "-0123456789ABCDEFGHI", "DISKMODEL1"},
        AcceptCase{"TabFirstTwentiethAlnum", "\t0123456789ABCDEFGHI", kModelField, "", true,
                   "\t0123456789ABCDEFGHI", "DISKMODEL1"},
        AcceptCase{"HighByteFirstTwentiethAlnum",
                   "\x80"
                   "0123456789ABCDEFGHI",
                   kModelField, "", true,
                   "\x80"
                   "0123456789ABCDEFGHI",
                   "DISKMODEL1"},
        // Accepted on index 19, but the text ends at its first byte.
        AcceptCase{"ZeroFirstTwentiethAlnum",
                   "\0"
                   "0123456789ABCDEFGHI"s,
                   kModelField, "", true, "", "DISKMODEL1"},
        // A dropped space shortens the text: index 19 is then zero.
        AcceptCase{"SpaceShortensHyphenSerial", "-0123456789 ABCDEFGH", kModelField, "", false, "",
                   ""},
        AcceptCase{"OneAlnumCharacter", "A", kModelField, "", true, "A", "DISKMODEL1"},
        AcceptCase{"TrailingLineEndTrimmed", "0123456789ABCDEFGH\r\n", kModelField, "", true,
                   "0123456789ABCDEFGH", "DISKMODEL1"},
        // The model is never tested: a blank one is still copied.
        AcceptCase{"BlankModelCopied", kGoodSerial, "", "", true, "ABCD12345678", ""},
        AcceptCase{"SerialTextAlreadySet", kGoodSerial, kModelField, "KEEP", false, "", ""}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace hwid
