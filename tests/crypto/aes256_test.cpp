#include "crypto/aes256.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "support/hex.h"

namespace hwid {
namespace {

// Points the process-wide settings at a schedule of the test's own for the
// length of one test, and puts back what was there.
class CipherSettings : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = aes256Cipher; }
    void TearDown() override { aes256Cipher = saved_; }

    void UseKey(const std::vector<std::uint8_t>& key, int Nk, int Nr) {
        aes256Cipher.Nk = Nk;
        aes256Cipher.Nr = Nr;
        aes256Cipher.keySchedule = schedule_.data();
        KeyExpansion(key);
    }

    std::string Encipher(const std::string& plainHex) {
        const std::vector<std::uint8_t> plain = test::FromHex(plainHex);
        std::array<std::uint8_t, 16> in;
        std::array<std::uint8_t, 16> out;
        std::memcpy(in.data(), plain.data(), 16);
        EncipherBlock(in, out);
        return test::ToHex(out);
    }

    std::array<std::uint8_t, 240> schedule_{};

  private:
    Aes256Cipher saved_{};
};

struct Example {
    const char* name;
    const char* key;
    int Nk;
    int Nr;
    const char* plaintext;
    const char* ciphertext;
};

// FIPS-197, appendix C.
constexpr Example kExamples[] = {
    {"C.1 AES-128", "000102030405060708090a0b0c0d0e0f", 4, 10, "00112233445566778899aabbccddeeff",
     "69C4E0D86A7B0430D8CDB78070B4C55A"},
    {"C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617", 6, 12,
     "00112233445566778899aabbccddeeff", "DDA97CA4864CDFE06EAF70A0EC0D7191"},
    {"C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 8, 14,
     "00112233445566778899aabbccddeeff", "8EA2B7CA516745BFEAFC49904B496089"},
};

TEST_F(CipherSettings, EnciphersTheStandardExamples) {
    for (const Example& e : kExamples) {
        UseKey(test::FromHex(e.key), e.Nk, e.Nr);
        EXPECT_EQ(Encipher(e.plaintext), e.ciphertext) << e.name;
    }
}

// FIPS-197, appendix A.3: the expanded AES-256 key, w[0] to w[59].
TEST_F(CipherSettings, ExpandsTheAppendixA3KeyWordForWord) {
    UseKey(test::FromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"), 8,
           14);
    const char* const expected =
        "603DEB10 15CA71BE 2B73AEF0 857D7781 1F352C07 3B6108D7 2D9810A3 0914DFF4 "
        "9BA35411 8E6925AF A51A8B5F 2067FCDE A8B09C1A 93D194CD BE49846E B75D5B9A "
        "D59AECB8 5BF3C917 FEE94248 DE8EBE96 B5A9328A 2678A647 98312229 2F6C79B3 "
        "812C81AD DADF48BA 24360AF2 FAB8B464 98C5BFC9 BEBD198E 268C3BA7 09E04214 "
        "68007BAC B2DF3316 96E939E4 6C518D80 C814E204 76A9FB8A 5025C02D 59C58239 "
        "DE136967 6CCC5A71 FA256395 9674EE15 5886CA5D 2E2F31D7 7E0AF1FA 27CF73C3 "
        "749C47AB 18501DDA E2757E4F 7401905A CAFAAAE3 E4D59B34 9ADF6ACE BD10190D "
        "FE4890D1 E6188D0B 046DF344 706C631E";
    const std::vector<std::uint8_t> words = test::FromHex(expected);
    ASSERT_EQ(words.size(), schedule_.size());
    for (std::size_t i = 0; i < 60; ++i) {
        EXPECT_EQ(test::ToHex(std::span(schedule_).subspan(4 * i, 4)),
                  test::ToHex(std::span(words).subspan(4 * i, 4)))
            << "w[" << i << "]";
    }
}

TEST_F(CipherSettings, SameBufferInAndOutGivesTheSameResult) {
    UseKey(test::FromHex(kExamples[2].key), 8, 14);
    std::array<std::uint8_t, 16> block;
    const std::vector<std::uint8_t> plain = test::FromHex(kExamples[2].plaintext);
    std::memcpy(block.data(), plain.data(), 16);
    EncipherBlock(block, block);
    EXPECT_EQ(test::ToHex(block), kExamples[2].ciphertext);
}

TEST_F(CipherSettings, EnsureKeyScheduleExpandsTheEmbeddedKeyOnce) {
    aes256Cipher = {};
    EnsureKeySchedule();
    ASSERT_NE(aes256Cipher.keySchedule, nullptr);
    EXPECT_EQ(aes256Cipher.Nk, 8);
    EXPECT_EQ(aes256Cipher.Nr, 14);
    EXPECT_EQ(std::memcmp(aes256Cipher.keySchedule, kEmbeddedKey, 32), 0);

    // The same schedule as a hand-made expansion of the embedded key.
    std::uint8_t* const first = aes256Cipher.keySchedule;
    std::array<std::uint8_t, 240> built;
    std::memcpy(built.data(), first, built.size());
    aes256Cipher.keySchedule = schedule_.data();
    KeyExpansion();
    EXPECT_EQ(test::ToHex(schedule_), test::ToHex(built));
    aes256Cipher.keySchedule = first;

    // A second call changes nothing.
    EnsureKeySchedule();
    EXPECT_EQ(aes256Cipher.keySchedule, first);
    EXPECT_EQ(aes256Cipher.Nk, 8);
    EXPECT_EQ(aes256Cipher.Nr, 14);
    EXPECT_EQ(test::ToHex(std::span(first, 240)), test::ToHex(built));
}

// FIPS-197 appendix B, round 1: the state after ShiftRows and after MixColumns
// (columns written top to bottom).
TEST(MixColumns, MatchesTheAppendixBRound) {
    const std::vector<std::uint8_t> before = test::FromHex("d4bf5d30e0b452aeb84111f11e2798e5");
    const std::vector<std::uint8_t> after = test::FromHex("046681e5e0cb199a48f8d37a2806264c");
    std::array<std::uint8_t, 16> state;  // row by row
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            state[4 * r + c] = before[static_cast<std::size_t>(4 * c + r)];
        }
    }
    MixColumns(state);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(state[4 * r + c], after[static_cast<std::size_t>(4 * c + r)])
                << "row " << r << " column " << c;
        }
    }
}

TEST(MultiplyColumn, MultipliesModuloXToTheFourPlusOne) {
    // By the unit polynomial 01: the column itself.
    const std::uint8_t one[4] = {0x01, 0x00, 0x00, 0x00};
    const std::uint8_t column[4] = {0xDB, 0x13, 0x53, 0x45};
    std::uint8_t d[4];
    MultiplyColumn(one, column, d);
    EXPECT_EQ(test::ToHex(d), "DB135345");
    // By x: a rotation by one position (x^4 = 1).
    const std::uint8_t x[4] = {0x00, 0x01, 0x00, 0x00};
    MultiplyColumn(x, column, d);
    EXPECT_EQ(test::ToHex(d), "45DB1353");
    // The MixColumns coefficients on a column from the FIPS-197 literature.
    const std::uint8_t mix[4] = {0x02, 0x01, 0x01, 0x03};
    MultiplyColumn(mix, column, d);
    EXPECT_EQ(test::ToHex(d), "8E4DA1BC");
}

}  // namespace
}  // namespace hwid
