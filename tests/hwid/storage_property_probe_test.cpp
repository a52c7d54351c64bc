#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"
#include "support/disk_replies.h"
#include "support/scripted_device_services.h"

namespace hwid {
namespace {

using namespace std::string_literals;
using test::DescriptorStrings;
using test::Operation;
using test::PutText;
using test::ScriptedDeviceServices;
using test::TextOf;
using test::UsedRecord;

std::string Diagnostic(const DiskIdentity& identity) {
    return std::string(identity.diagnosticText.begin(), identity.diagnosticText.end());
}

// The whole 256-byte field: the message, then zeros to the end.
std::string ZeroFilled(const std::string& message) {
    std::string field = message;
    field.resize(kDiagnosticSize, '\0');
    return field;
}

const std::string kOpenFailed =
    "231 ReadPhysicalDriveInNTWithZeroRights ERROR CreateFileA(\\\\.\\PhysicalDrive0) returned "
    "INVALID_HANDLE_VALUE";
const std::string kGeometryFailed =
    "\\\\.\\PhysicalDrive0 ReadPhysicalDriveInNTWithZeroRights ERROR DeviceIoControl(), "
    "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) returned 0";

const DescriptorStrings kGoodDrive{.vendor = "ATA     ",
                                   .product = "  Samsung SSD 860  ",
                                   .revision = "RVT01B6Q",
                                   .serial = "S3Z9NB0K123456A"};

// --- DecodeDescriptorString -------------------------------------------------

constexpr std::int32_t kStringAt = 100;

struct DecodeCase {
    const char* name;
    std::string input;  // the string at offset 100, zero after it
    std::string text;
    std::string buffer;  // when given: the buffer's bytes up to its last nonzero one
};

class DecodeDescriptorStringTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeDescriptorStringTable, Decodes) {
    const DecodeCase& c = GetParam();
    std::vector<std::uint8_t> reply(kDescriptorReplySize, 0);
    std::copy(c.input.begin(), c.input.end(), reply.begin() + kStringAt);
    std::array<char, kDecodedTextSize> out{};

    EXPECT_EQ(
        DecodeDescriptorString(DescriptorReply{reply.data(), kDescriptorReplySize}, kStringAt, out),
        out.data());

    EXPECT_EQ(TextOf(out), c.text);
    if (!c.buffer.empty()) {
        EXPECT_EQ(std::string(out.data(), c.buffer.size()), c.buffer);
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(c.buffer.size()),
                                out.end(), [](char b) { return b == 0; }));
    }
}

const std::string kTenBlanks(10, ' ');

INSTANTIATE_TEST_SUITE_P(
    DecodeDescriptorString, DecodeDescriptorStringTable,
    ::testing::Values(
        DecodeCase{"EmptyString", "", "", ""},
        // The blank pair is a zero byte, S ends the hex pass, the raw copy is
        // trimmed and leaves '3' and two blanks behind its terminator.
        DecodeCase{"BlanksAroundPlainText", "  SN-ABC123  ", "SN-ABC123",
                   "SN-ABC123\0"
                   "3  "s},
        DecodeCase{"HexWithLeadingBlanks", "20202020534e2d41", "SN-A", ""},
        DecodeCase{"HexOddLengthDropsLastNibble", "534e2d414", "SN-A", ""},
        DecodeCase{"HexOddLengthShort", "4a4b4", "JK", ""}, DecodeCase{"SingleNibble", "4", "", ""},
        DecodeCase{"HexDigits", "3031", "01", ""}, DecodeCase{"HexMixedCase", "4a4B", "JK", ""},
        DecodeCase{"HexAllBlanksUntrimmed", "20202020", "    ", ""},
        DecodeCase{"ThreeBlanks", "   ", "", ""},
        DecodeCase{"BlankPairBeforeHex", "  4142  ", "", ""},
        // Blank and '4' give the control byte 4: raw copy, then trim.
        DecodeCase{"OneBlankBeforeHex", " 4142", "4142", ""},
        DecodeCase{"HexLeadingZeroByte", "0041", "", ""},
        DecodeCase{"HexZeroByteEndsText", "4a004b00", "J", ""},
        DecodeCase{"HexUnprintableByte", "1234ABCD", "1234ABCD", ""},
        DecodeCase{"HexHighByte", "ABCDEF", "ABCDEF", ""},
        DecodeCase{"HexDelete", "7e7f", "7e7f", ""},
        DecodeCase{"HexPairThenBlankDigit", "20 41", "20 41", ""},
        DecodeCase{"TabsFirst", "\t\t41", "", ""}, DecodeCase{"TabsLast", "41\t\t", "A", ""},
        DecodeCase{"ControlByte", "Z\x01", "", ""},
        // The raw bytes copied before the control byte stay from position 1 on.
        DecodeCase{"ControlByteLeavesRawBytes", "AB\x01", "", "\0B"s},
        // The raw pass stops at the first tab and empties the text, but the
        // bytes the hex pass decoded further on stay behind.
        DecodeCase{"RawFailureKeepsHexBytes", "41\t\t4142434445Z", "",
                   "\0"
                   "1ABCDE"s},
        DecodeCase{"ByteAbove127", "SN\xC3\xA9", "", ""},
        DecodeCase{"InnerBlanksKept", " SN 12 ", "SN 12", ""},
        DecodeCase{"TenBlanksThenHyphen", kTenBlanks + "-ABCDEFGHIJ", "-ABCDEFGHIJ",
                   "-ABCDEFGHIJ\0BCDEFGHIJ"s},
        DecodeCase{"TwentyCharacters", "_ABCDEFGHIJKLMNOPQRS", "_ABCDEFGHIJKLMNOPQRS",
                   "_ABCDEFGHIJKLMNOPQRS"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DecodeDescriptorString, OffsetZeroOrNegativeWritesOnlyTheTerminator) {
    std::vector<std::uint8_t> reply(kDescriptorReplySize, 0);
    const std::string text = "SERIAL";
    std::copy(text.begin(), text.end(), reply.begin() + kStringAt);
    for (const std::int32_t offset :
         {0, -1, -kStringAt, static_cast<std::int32_t>(0x80000000u | kStringAt)}) {
        std::array<char, kDecodedTextSize> out;
        out.fill('x');
        DecodeDescriptorString(DescriptorReply{reply.data(), kDescriptorReplySize}, offset, out);
        EXPECT_EQ(out[0], '\0') << offset;
        EXPECT_TRUE(std::all_of(out.begin() + 1, out.end(), [](char b) { return b == 'x'; }))
            << offset;
    }
}

// --- DecodeDescriptorString: bounds of the reply and of the output --------

// The reply is the first 10000 bytes of a larger block that goes on with
// printable bytes and then a zero, and the output the first 1000 bytes of a
// larger buffer, so a read or write past either shows in the result.
class DecodeBounds : public ::testing::Test {
  protected:
    static constexpr std::size_t kTail = 64;

    DecodeBounds() : block_(kDescriptorReplySize + kTail, 0) {
        std::fill(block_.begin() + kDescriptorReplySize, block_.end() - 1, 'Z');
        guarded_.fill('#');
    }

    void Put(std::size_t at, const std::string& bytes) {
        std::copy(bytes.begin(), bytes.end(), block_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    std::string Decode(std::int32_t offset) {
        guarded_.fill('#');
        std::span<char, kDecodedTextSize> out(guarded_.data(), kDecodedTextSize);
        DecodeDescriptorString(DescriptorReply{block_.data(), kDescriptorReplySize}, offset, out);
        EXPECT_TRUE(std::all_of(guarded_.begin() + kDecodedTextSize, guarded_.end(), [](char b) {
            return b == '#';
        })) << "wrote past the 1000-byte output";
        const auto end = guarded_.begin() + kDecodedTextSize;
        return std::string(guarded_.begin(), std::find(guarded_.begin(), end, '\0'));
    }

    std::vector<std::uint8_t> block_;
    std::array<char, kDecodedTextSize + kTail> guarded_;
};

TEST_F(DecodeBounds, OffsetAtOrPastTheEndGivesEmptyText) {
    for (const std::int32_t offset : {10000, 10001, 10063, 0x7FFFFFFF}) {
        EXPECT_EQ(Decode(offset), "") << offset;
        EXPECT_EQ(guarded_[1], '#') << offset;
    }
}

TEST_F(DecodeBounds, StringWithoutZeroEndsAtTheEndOfTheReply) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"Z", "Z"},
        {"SN-12345", "SN-12345"},
        {"4142", "AB"},
        {"  4142", ""},  // the blank pair is a zero byte, still inside the reply
    };
    for (const auto& c : cases) {
        Put(kDescriptorReplySize - c.bytes.size(), c.bytes);
        EXPECT_EQ(Decode(static_cast<std::int32_t>(kDescriptorReplySize - c.bytes.size())), c.text)
            << c.bytes;
    }
}

TEST_F(DecodeBounds, LongTextIsCutAt999Bytes) {
    const struct {
        const char* name;
        std::string bytes;
        std::string text;
    } cases[] = {
        {"Raw999", std::string(999, 'A'), std::string(999, 'A')},
        {"Raw1000", std::string(1000, 'A'), std::string(999, 'A')},
        {"Raw5000", std::string(5000, 'B'), std::string(999, 'B')},
        {"Hex999",
         [] {
             std::string hex;
             for (int i = 0; i < 999; ++i) {
                 hex += "43";
             }
             return hex;
         }(),
         std::string(999, 'C')},
        {"Hex2000",
         [] {
             std::string hex;
             for (int i = 0; i < 2000; ++i) {
                 hex += "44";
             }
             return hex;
         }(),
         std::string(999, 'D')},
        // The cut does not change the form: a bad pair past it still makes the
        // string raw text, and a control byte past it still empties it.
        {"HexBadPairPastCut", std::string(2400, '4') + "01", std::string(999, '4')},
        {"RawControlPastCut", std::string(1200, 'E') + "\x01", ""},
    };
    for (const auto& c : cases) {
        std::fill(block_.begin(), block_.begin() + kDescriptorReplySize, 0);
        Put(200, c.bytes);
        EXPECT_EQ(Decode(200), c.text) << c.name;
    }
}

TEST_F(DecodeBounds, LongStringRunningToTheEnd) {
    const std::size_t at = kDescriptorReplySize - 1500;
    Put(at, std::string(1500, 'F'));
    EXPECT_EQ(Decode(static_cast<std::int32_t>(at)), std::string(999, 'F'));
    Put(at, std::string(1500, '6'));  // hex: "66" is 'f'
    EXPECT_EQ(Decode(static_cast<std::int32_t>(at)), std::string(750, 'f'));
}

// --- ExtractDescriptorStrings -------------------------------------------------

struct ExtractCase {
    const char* name;
    DescriptorStrings strings;
    std::string serialTextBefore;
    int result;
    std::string serialText;  // on acceptance
    std::string modelText;
};

class ExtractDescriptorStringsTable : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractDescriptorStringsTable, AcceptsOnFirstOrTwentiethByte) {
    const ExtractCase& c = GetParam();
    const std::vector<std::uint8_t> reply = test::DescriptorReplyBytes(c.strings);
    DiskIdentity identity = UsedRecord();
    PutText(identity.serialText, c.serialTextBefore);
    const DiskIdentity before = identity;

    EXPECT_EQ(
        ExtractDescriptorStrings(DescriptorReply{reply.data(), kDescriptorReplySize}, identity),
        c.result);

    if (c.result == 1) {
        EXPECT_EQ(TextOf(identity.serialText), c.serialText);
        EXPECT_EQ(TextOf(identity.modelText), c.modelText);
    } else {
        EXPECT_EQ(identity.serialText, before.serialText);
        EXPECT_EQ(identity.modelText, before.modelText);
    }
    EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
}

DescriptorStrings WithSerial(std::optional<std::string> serial) {
    DescriptorStrings strings = kGoodDrive;
    strings.serial = std::move(serial);
    return strings;
}

INSTANTIATE_TEST_SUITE_P(
    ExtractDescriptorStrings, ExtractDescriptorStringsTable,
    ::testing::Values(
        // The product id, trimmed, becomes the model; vendor and revision are
        // decoded but not used.
        ExtractCase{"PlainSerial", kGoodDrive, "", 1, "S3Z9NB0K123456A", "Samsung SSD 860"},
        ExtractCase{"HexSerial", WithSerial("2020205a3158"), "", 1, "Z1X", "Samsung SSD 860"},
        ExtractCase{"PassesOnIndex19LeftByTrim", WithSerial(kTenBlanks + "-ABCDEFGHIJ"), "", 1,
                    "-ABCDEFGHIJ", "Samsung SSD 860"},
        ExtractCase{"PassesOnIndex19", WithSerial("_ABCDEFGHIJKLMNOPQRS"), "", 1,
                    "_ABCDEFGHIJKLMNOPQRS", "Samsung SSD 860"},
        // The text is empty, but index 19 holds a byte that the hex pass
        // decoded before the raw pass gave up: accepted, serialText empty.
        ExtractCase{"PassesOnIndex19LeftByHexPass",
                    WithSerial("41\t\t4142434445464748494a4b4c4d4e4f5051525354Z"), "", 1, "",
                    "Samsung SSD 860"},
        ExtractCase{"ShortNonAlnumFails", WithSerial("-1234"), "", 0, "", ""},
        ExtractCase{"NoSerialFails", WithSerial(std::nullopt), "", 0, "", ""},
        ExtractCase{"BlankSerialFails", WithSerial("   "), "", 0, "", ""},
        ExtractCase{"SerialTextAlreadySet", kGoodDrive, "KEEP", 0, "", ""}),
    [](const auto& p) { return std::string(p.param.name); });

// --- ReadPhysicalDriveInNTWithZeroRights: result, diagnostic and handles ------

struct ProbeCase {
    const char* name;
    bool opens;
    BOOL propertyResult;
    DWORD propertyError;
    BOOL geometryResult;
    std::string serialTextBefore;
    int result;
    std::optional<std::string> diagnostic;  // the whole field; nullopt: untouched
    bool geometrySent;
    std::string serialText;
};

class StoragePropertyFailureTable : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(StoragePropertyFailureTable, ResultDiagnosticAndHandles) {
    const ProbeCase& c = GetParam();
    ScriptedDeviceServices services;
    services.opens.push_back({.succeeds = c.opens});
    services.Reply(IOCTL_STORAGE_QUERY_PROPERTY, {.result = c.propertyResult,
                                                  .error = c.propertyError,
                                                  .bytes = test::DescriptorReplyBytes(kGoodDrive)});
    services.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX,
                   {.result = c.geometryResult, .bytes = std::vector<std::uint8_t>(32, 0x11)});
    DiskIdentity identity = UsedRecord();
    PutText(identity.serialText, c.serialTextBefore);
    const DiskIdentity before = identity;

    EXPECT_EQ(ReadPhysicalDriveInNTWithZeroRights(identity, services), c.result);

    if (c.diagnostic) {
        EXPECT_EQ(Diagnostic(identity), *c.diagnostic);
    } else {
        EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
    }
    EXPECT_EQ(TextOf(identity.serialText), c.serialText);
    EXPECT_EQ(identity.smartReply, before.smartReply);

    std::vector<Operation> expected;
    if (c.opens) {
        expected = {Operation::CreateFileA, Operation::DeviceIoControl};
        if (c.propertyResult == 0) {
            expected.push_back(Operation::GetLastError);
        }
        if (c.geometrySent) {
            expected.push_back(Operation::DeviceIoControl);
        }
        expected.push_back(Operation::CloseHandle);
    } else {
        expected = {Operation::CreateFileA};
    }
    EXPECT_EQ(services.Sequence(), expected);

    const int opened = c.opens ? 1 : 0;
    EXPECT_EQ(services.opened, opened);
    EXPECT_EQ(services.closed, opened);
    EXPECT_EQ(services.badCloses, 0);
    EXPECT_EQ(services.unknownUses, 0);
    EXPECT_LE(services.maxOpenAtOnce, 1);
}

INSTANTIATE_TEST_SUITE_P(
    ReadPhysicalDriveInNTWithZeroRights, StoragePropertyFailureTable,
    ::testing::Values(
        ProbeCase{"OpenFails", false, 1, 0, 1, "", 0, ZeroFilled(kOpenFailed), false, ""},
        ProbeCase{"PropertyRequestFails", true, 0, 50, 1, "", 0,
                  ZeroFilled("DeviceIOControl IOCTL_STORAGE_QUERY_PROPERTY error = 50\n"), false,
                  ""},
        ProbeCase{"PropertyRequestFailsWithHighError", true, 0, 0x80070015, 1, "", 0,
                  ZeroFilled("DeviceIOControl IOCTL_STORAGE_QUERY_PROPERTY error = -2147024875\n"),
                  false, ""},
        ProbeCase{"SerialTextAlreadySet", true, 1, 0, 1, "KEEP", 0, std::nullopt, true, "KEEP"},
        ProbeCase{"Accepted", true, 1, 0, 1, "", 1, std::nullopt, true, "S3Z9NB0K123456A"},
        ProbeCase{"GeometryFailsAfterAcceptance", true, 1, 0, 0, "", 1, ZeroFilled(kGeometryFailed),
                  true, "S3Z9NB0K123456A"},
        ProbeCase{"GeometryFailsAfterRejection", true, 1, 0, 0, "KEEP", 0,
                  ZeroFilled(kGeometryFailed), true, "KEEP"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ReadPhysicalDriveInNTWithZeroRights, RejectedSerialLeavesRecordAndSendsGeometry) {
    ScriptedDeviceServices services;
    services.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                   {.result = 1, .bytes = test::DescriptorReplyBytes(WithSerial("-1234"))});
    services.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
    DiskIdentity identity = UsedRecord();
    const DiskIdentity before = identity;

    EXPECT_EQ(ReadPhysicalDriveInNTWithZeroRights(identity, services), 0);

    EXPECT_EQ(identity.serialText, before.serialText);
    EXPECT_EQ(identity.modelText, before.modelText);
    EXPECT_EQ(identity.diagnosticText, before.diagnosticText);
    ASSERT_EQ(services.CallsOf(Operation::DeviceIoControl).size(), 2u);
    EXPECT_EQ(services.CallsOf(Operation::DeviceIoControl)[1].controlCode,
              IOCTL_DISK_GET_DRIVE_GEOMETRY_EX);
    EXPECT_EQ(services.closed, 1);
}

// --- ReadPhysicalDriveInNTWithZeroRights: the requests ---------------------

TEST(ReadPhysicalDriveInNTWithZeroRights, OpensWithoutRightsAndSendsBothRequests) {
    ScriptedDeviceServices services;
    services.Reply(IOCTL_STORAGE_QUERY_PROPERTY,
                   {.result = 1, .bytes = test::DescriptorReplyBytes(kGoodDrive)});
    services.Reply(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {.result = 1});
    DiskIdentity identity = UsedRecord();

    EXPECT_EQ(ReadPhysicalDriveInNTWithZeroRights(identity, services), 1);
    EXPECT_EQ(TextOf(identity.modelText), "Samsung SSD 860");

    const auto opens = services.CallsOf(Operation::CreateFileA);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(opens[0].desiredAccess, 0u);
    EXPECT_EQ(opens[0].shareMode, 3u);
    EXPECT_FALSE(opens[0].securityAttributes);
    EXPECT_EQ(opens[0].creationDisposition, 3u);
    EXPECT_EQ(opens[0].flagsAndAttributes, 0u);
    EXPECT_FALSE(opens[0].templateFile);

    const auto requests = services.CallsOf(Operation::DeviceIoControl);
    ASSERT_EQ(requests.size(), 2u);
    const auto& property = requests[0];
    EXPECT_EQ(property.controlCode, 0x2D1400u);
    EXPECT_EQ(property.inBufferSize, 12u);
    EXPECT_EQ(property.input, std::vector<std::uint8_t>(12, 0));
    EXPECT_EQ(property.outBufferSize, 10000u);
    EXPECT_TRUE(property.outBufferZeroed);
    EXPECT_TRUE(property.bytesReturnedGiven);
    EXPECT_FALSE(property.overlapped);

    const auto& geometry = requests[1];
    EXPECT_EQ(geometry.controlCode, 0x700A0u);
    EXPECT_FALSE(geometry.inBufferGiven);
    EXPECT_EQ(geometry.inBufferSize, 0u);
    EXPECT_EQ(geometry.outBufferSize, 10000u);
    EXPECT_TRUE(geometry.outBufferZeroed) << "the reply buffer must be cleared again";
    EXPECT_TRUE(geometry.bytesReturnedGiven);
    EXPECT_FALSE(geometry.overlapped);

    EXPECT_EQ(property.handle, geometry.handle);
    const auto close = services.CallsOf(Operation::CloseHandle);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0].handle, geometry.handle);
}

}  // namespace
}  // namespace hwid
