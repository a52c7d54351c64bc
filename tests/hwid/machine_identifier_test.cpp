#include "hwid/machine_identifier.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "crypto/digest_fold.h"
#include "crypto/md5.h"
#include "support/hex.h"

namespace hwid {
namespace {

using SerialText = std::array<char, kTextFieldSize>;

SerialText Serial(const std::string& text) {
    SerialText serial{};
    std::memcpy(serial.data(), text.data(), text.size());
    return serial;
}

std::string Identifier(std::uint32_t cpuSignature, const std::string& serial) {
    char text[kIdentifierTextSize];
    FormatMachineIdentifier(DeriveMachineIdentifier(cpuSignature, Serial(serial)), text);
    return text;
}

// MD5, permutation and sum done step by step, for comparing with the fold.
std::uint32_t FoldOf(const std::string& bytes) {
    Md5Digest md5;
    md5.Reset();
    md5.Update(reinterpret_cast<const std::uint8_t*>(bytes.data()),
               static_cast<std::int32_t>(bytes.size()));
    std::array<std::uint8_t, 16> digest;
    md5.Finalize(digest);
    std::array<std::uint8_t, 16> permuted;
    PermuteDigest(digest, permuted);
    return SumDigestWords(permuted) + kFoldOffset;
}

TEST(BuildDiagonalBlock, PutsTheValueOnTheDiagonal) {
    std::array<std::uint8_t, 16> block;
    block.fill(0xAA);
    BuildDiagonalBlock(0x12345678, block);
    EXPECT_EQ(test::ToHex(block), "78000000005600000000340000000012");
    BuildDiagonalBlock(0, block);
    EXPECT_EQ(test::ToHex(block), std::string(32, '0'));
}

// Mixing with C1 = 00 11 .. FF and C2 all zero.
TEST(MixCipherBlocks, ComplementsThenAddsTwice) {
    const auto c1 = test::FromHex("00112233445566778899AABBCCDDEEFF");
    std::array<std::uint8_t, 16> first;
    std::memcpy(first.data(), c1.data(), 16);
    const std::array<std::uint8_t, 16> second{};
    const MixedBlocks mixed = MixCipherBlocks(first, second);
    EXPECT_EQ(test::ToHex(mixed.first), "FF11DD33BB559977779955BB33DD11FF");
    EXPECT_EQ(test::ToHex(mixed.second), "FE21BA6576A932EDEE31AA7566B922FD");
    char text[kIdentifierTextSize];
    FormatMachineIdentifier(mixed, text);
    EXPECT_STREQ(text, "FFFE1121DDBA3365BB7655A9993277ED77EE993155AABB753366DDB91122FFFD");
}

TEST(FormatMachineIdentifier, WritesTwoUppercaseDigitsPerByte) {
    MixedBlocks blocks{};
    blocks.first[0] = 0x0A;
    blocks.second[0] = 0xBC;
    blocks.second[15] = 0x01;
    char text[kIdentifierTextSize];
    std::memset(text, 'x', sizeof text);
    FormatMachineIdentifier(blocks, text);
    EXPECT_STREQ(text, ("0ABC" + std::string(56, '0') + "0001").c_str());
}

TEST(ComputeFoldValue, EmptySerialGivesTheFoldOffset) {
    EXPECT_EQ(ComputeFoldValue(Serial("")), kFoldOffset);
    EXPECT_EQ(kFoldOffset, 0xAFE5246Du);
}

TEST(ComputeFoldValue, HashesTheTextUpToItsTerminator) {
    // "abc": the permuted words sum to 0x76DB4D0E, plus the offset.
    EXPECT_EQ(ComputeFoldValue(Serial("abc")), 0x26C0717Bu);
    EXPECT_EQ(ComputeFoldValue(Serial("Z")), FoldOf("Z"));
    // Bytes after the terminator are not part of the text.
    SerialText withTail = Serial("abc");
    std::memset(withTail.data() + 4, 'q', 100);
    EXPECT_EQ(ComputeFoldValue(withTail), 0x26C0717Bu);
    // The longest text the record holds is hashed whole.
    const std::string longest(kTextFieldSize - 1, 'S');
    EXPECT_EQ(ComputeFoldValue(Serial(longest)), FoldOf(longest));
}

// Identifiers computed apart from this code, with the OpenSSL command line's
// AES-256-ECB under the embedded key and Python's MD5 for the fold. They pin
// the embedded key, the fold offset and the whole derivation: identifiers
// already handed out must never change.
TEST(DeriveMachineIdentifier, GivesTheIdentifiersAlreadyHandedOut) {
    const struct {
        std::uint32_t cpuSignature;
        const char* serial;
        const char* identifier;
    } cases[] = {
        {0x00003333, "", "1F1D53AFA82B0CC1863771BCB3AC77A32CFEC6943087C67E50D5886E402E3419"},
        {0x00000000, "", "66AB9839930102ADAC835B907530E68136120C208F4565BC5CED0262504E7193"},
        {0x12345678, "abc", "2E380E05ABF2E995D8E7A7046E10C0D2C31571FA9174DE56418713D3C59D599B"},
        {0x00001112, "ABCD12345678",
         "3CF53BD6BCF340B87F74199D56B01ABC4704F8DAEC1FE9E2C98A8B5885817CD8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Identifier(c.cpuSignature, c.serial), c.identifier)
            << std::hex << c.cpuSignature << " '" << c.serial << "'";
    }
}

TEST(DeriveMachineIdentifier, IsTheSameOnEveryCall) {
    EXPECT_EQ(Identifier(0xCAFEF00D, "WD-123"), Identifier(0xCAFEF00D, "WD-123"));
    EXPECT_NE(Identifier(0xCAFEF00D, "WD-123"), Identifier(0xCAFEF00D, "WD-124"));
}

}  // namespace
}  // namespace hwid
