// Randomized cross-checks against OpenSSL, an implementation we did not write.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/aes256.h"
#include "crypto/md5.h"

namespace hwid {
namespace {

std::array<std::uint8_t, 16> OpenSslMd5(const std::vector<std::uint8_t>& message) {
    std::array<std::uint8_t, 16> digest;
    unsigned int length = 0;
    EXPECT_EQ(
        EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_md5(), nullptr), 1);
    return digest;
}

std::array<std::uint8_t, 16> OpenSslAes256(const std::array<std::uint8_t, 32>& key,
                                           const std::array<std::uint8_t, 16>& block) {
    std::array<std::uint8_t, 16> out;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int length = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context, EVP_aes_256_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EXPECT_EQ(EVP_EncryptUpdate(context, out.data(), &length, block.data(), 16), 1);
    EXPECT_EQ(length, 16);
    EVP_CIPHER_CTX_free(context);
    return out;
}

TEST(OpenSslOracle, Md5AgreesOnRandomMessages) {
    std::mt19937 random(1321);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> message(random() % 1100);
        for (auto& b : message) {
            b = static_cast<std::uint8_t>(random());
        }
        // Fed in random pieces, to exercise the block buffer as well.
        Md5Digest md5;
        md5.Reset();
        for (std::size_t at = 0; at < message.size();) {
            const std::size_t piece = std::min<std::size_t>(random() % 150, message.size() - at);
            md5.Update(message.data() + at, static_cast<std::int32_t>(piece));
            at += piece;
        }
        std::array<std::uint8_t, 16> digest;
        md5.Finalize(digest);
        ASSERT_EQ(digest, OpenSslMd5(message)) << "message of " << message.size() << " bytes";
    }
}

TEST(OpenSslOracle, Aes256AgreesOnRandomKeysAndBlocks) {
    const Aes256Cipher saved = aes256Cipher;
    std::array<std::uint8_t, 240> schedule;
    aes256Cipher = {schedule.data(), 8, 14};
    std::mt19937 random(197);
    for (int round = 0; round < 2000; ++round) {
        std::array<std::uint8_t, 32> key;
        std::array<std::uint8_t, 16> block;
        for (auto& b : key) {
            b = static_cast<std::uint8_t>(random());
        }
        for (auto& b : block) {
            b = static_cast<std::uint8_t>(random());
        }
        KeyExpansion(key);
        std::array<std::uint8_t, 16> out;
        EncipherBlock(block, out);
        ASSERT_EQ(out, OpenSslAes256(key, block)) << "round " << round;
    }
    aes256Cipher = saved;
}

}  // namespace
}  // namespace hwid
