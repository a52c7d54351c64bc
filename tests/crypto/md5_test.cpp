#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/hex.h"

namespace hwid {
namespace {

std::string Md5Hex(const std::uint8_t* data, std::size_t length) {
    Md5Digest md5;
    md5.Reset();
    md5.Update(data, static_cast<std::int32_t>(length));
    std::array<std::uint8_t, 16> digest;
    md5.Finalize(digest);
    return test::ToHex(digest);
}

std::string Md5Hex(const std::string& text) {
    return Md5Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Bytes (7i + 3) mod 256, so that every position of a block differs.
std::vector<std::uint8_t> Pattern(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

struct Vector {
    const char* message;
    const char* digest;
};

// RFC 1321, appendix A.5.
constexpr Vector kRfc1321Suite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

TEST(Md5Digest, MatchesTheRfc1321Suite) {
    for (const Vector& v : kRfc1321Suite) {
        EXPECT_EQ(Md5Hex(v.message), v.digest) << '"' << v.message << '"';
    }
}

// Lengths around the pad boundary: 55 bytes take one pad byte, 56 a whole
// block of it, 64 take 56. Digests from Python's hashlib on the same bytes.
TEST(Md5Digest, PadsCorrectlyAroundTheBlockBoundary) {
    const struct {
        std::size_t length;
        const char* digest;
    } cases[] = {
        {55, "52C0E574E1198DE5FE3F8F11440DCB1B"},  {56, "46C9907FC908EE68B1E7B8E71286A518"},
        {57, "1C805DD236C35CAB25FCB1BC73802C51"},  {63, "A62F6D59E837867693F042F5B8F5A236"},
        {64, "7160B8FB5E9E4023D549C3971FBAEEAD"},  {65, "70BD662E7AEFBDA85A0F7244167B7897"},
        {119, "E84905D4214F4D1CA56C2CDCC152B143"}, {120, "E3EB5A6C8669EA01A8C185B8ABC8A5DC"},
        {128, "10B2DA1A82F16D99A81A7203FE9F02CB"},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> message = Pattern(c.length);
        EXPECT_EQ(Md5Hex(message.data(), message.size()), c.digest) << c.length << " bytes";
    }
}

TEST(Md5Digest, PiecesOfAnySizeGiveTheSameDigestAsOneUpdate) {
    const std::vector<std::uint8_t> message = Pattern(400);
    const std::string whole = Md5Hex(message.data(), message.size());
    // Zero and negative lengths are mixed in; they must change nothing.
    const int pieces[] = {0, 1, -7, 62, 1, 64, 0, 65, 3, -64, 128, 2, 63, 11};
    Md5Digest md5;
    md5.Reset();
    std::size_t at = 0;
    for (const int piece : pieces) {
        md5.Update(message.data() + at, piece);
        at += piece > 0 ? static_cast<std::size_t>(piece) : 0;
    }
    ASSERT_EQ(at, message.size());
    std::array<std::uint8_t, 16> digest;
    md5.Finalize(digest);
    EXPECT_EQ(test::ToHex(digest), whole);

    // Split once at every offset, too.
    for (std::size_t split = 0; split <= message.size(); ++split) {
        Md5Digest two;
        two.Reset();
        two.Update(message.data(), static_cast<std::int32_t>(split));
        two.Update(message.data() + split, static_cast<std::int32_t>(message.size() - split));
        two.Finalize(digest);
        ASSERT_EQ(test::ToHex(digest), whole) << "split at " << split;
    }
}

TEST(Md5Digest, UpdateWithoutBytesChangesNothing) {
    const std::vector<std::uint8_t> message = Pattern(10);
    Md5Digest md5;
    std::memset(&md5, 0x5A, sizeof md5);
    md5.Reset();
    md5.Update(message.data(), 10);
    Md5Digest before;
    std::memcpy(&before, &md5, sizeof md5);
    for (const int length : {0, -1, -2147483647 - 1}) {
        md5.Update(message.data(), length);
        EXPECT_EQ(std::memcmp(&before, &md5, sizeof md5), 0) << "length " << length;
    }
}

TEST(Md5Digest, DataAtAnOddAddressGivesTheSameDigest) {
    const std::vector<std::uint8_t> message = Pattern(200);
    std::vector<std::uint8_t> shifted(message.size() + 3);
    for (std::size_t shift = 1; shift <= 3; ++shift) {
        std::memcpy(shifted.data() + shift, message.data(), message.size());
        EXPECT_EQ(Md5Hex(shifted.data() + shift, message.size()),
                  Md5Hex(message.data(), message.size()))
            << "shift " << shift;
    }
}

TEST(Md5Digest, BitCountCarriesIntoTheHighWord) {
    Md5Digest md5;
    md5.Reset();
    md5.bitCountLow = 0xFFFFFFF8u;  // 2^32 - 8
    md5.bitCountHigh = 0;
    const std::uint8_t two[2] = {1, 2};
    md5.Update(two, 2);
    EXPECT_EQ(md5.bitCountLow, 8u);
    EXPECT_EQ(md5.bitCountHigh, 1u);
}

TEST(Md5Digest, ResetSetsTheRfcInitialState) {
    Md5Digest md5;
    std::memset(&md5, 0xFF, sizeof md5);
    md5.Reset();
    EXPECT_EQ(md5.bitCountLow, 0u);
    EXPECT_EQ(md5.bitCountHigh, 0u);
    EXPECT_EQ(md5.state[0], 0x67452301u);
    EXPECT_EQ(md5.state[1], 0xefcdab89u);
    EXPECT_EQ(md5.state[2], 0x98badcfeu);
    EXPECT_EQ(md5.state[3], 0x10325476u);
}

}  // namespace
}  // namespace hwid
