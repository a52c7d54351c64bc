#include "crypto/digest_fold.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "crypto/md5.h"
#include "support/hex.h"

namespace hwid {
namespace {

TEST(PermuteDigest, ScattersEachByteToItsTablePosition) {
    std::array<std::uint8_t, 16> digest;
    std::iota(digest.begin(), digest.end(), std::uint8_t{0});
    std::array<std::uint8_t, 16> permuted;
    permuted.fill(0xEE);
    PermuteDigest(digest, permuted);
    EXPECT_EQ(test::ToHex(permuted), "010E030509040A0B0C0D0F0206070008");
}

TEST(DigestFold, FoldsTheDigestOfAbc) {
    Md5Digest md5;
    md5.Reset();
    md5.Update(reinterpret_cast<const std::uint8_t*>("abc"), 3);
    std::array<std::uint8_t, 16> digest;
    md5.Finalize(digest);
    std::array<std::uint8_t, 16> permuted;
    PermuteDigest(digest, permuted);
    EXPECT_EQ(test::ToHex(permuted), "017F98D2963C3F7D28E172504FB090D6");
    EXPECT_EQ(SumDigestWords(permuted), 0x76DB4D0Eu);
}

TEST(DigestFold, SumWrapsModulo2To32) {
    std::array<std::uint8_t, 16> permuted;
    permuted.fill(0xFF);  // four words of 0xFFFFFFFF
    EXPECT_EQ(SumDigestWords(permuted), 0xFFFFFFFCu);
    const auto words = test::FromHex("00000080 00000080 01000000 00000000");
    std::copy(words.begin(), words.end(), permuted.begin());
    EXPECT_EQ(SumDigestWords(permuted), 1u);
}

}  // namespace
}  // namespace hwid
