// AES block cipher (FIPS-197), forward direction only, one 16-byte block at a
// time.
//
// Small and slow on purpose: byte-wise state, the S-box as the only table,
// bit-serial field multiplication. Not constant-time. The program enciphers
// two blocks per run under a key built into it, so neither speed nor timing
// leaks matter here.
#pragma once

#include <cstdint>
#include <span>

namespace hwid {

// Process-wide cipher settings. Zero at start-up (no constructor runs);
// EnsureKeySchedule sets them once and the schedule is kept until exit.
// KeyExpansion and EncipherBlock read Nk and Nr from here, so the same code
// also computes AES-128 (4, 10) and AES-192 (6, 12) when they are set by hand.
struct Aes256Cipher {
    std::uint8_t* keySchedule;  // 4 * (Nr + 1) words, FIPS-197 byte order
    std::int32_t Nk;
    std::int32_t Nr;
};

extern Aes256Cipher aes256Cipher;

// The key the product enciphers under. Identifiers already handed out depend
// on it: never change it.
extern const std::uint8_t kEmbeddedKey[32];

// Builds the AES-256 schedule of the embedded key on first use; later calls
// change nothing. Threads may call it at once: exactly one of them builds it.
void EnsureKeySchedule();

// Fills the schedule that aes256Cipher points to from the embedded key.
void KeyExpansion();
// The same from a key of 4 * Nk bytes, for checking the cipher against the
// standard's examples under other keys and sizes.
void KeyExpansion(std::span<const std::uint8_t> key);

// Input and output may be the same buffer. Needs the schedule.
void EncipherBlock(std::span<const std::uint8_t, 16> input, std::span<std::uint8_t, 16> output);

// State held row by row: row r, column c at index 4r + c.
void MixColumns(std::span<std::uint8_t, 16> state);

// d = a * b, words as polynomials over GF(2^8) modulo x^4 + 1.
void MultiplyColumn(std::span<const std::uint8_t, 4> a, std::span<const std::uint8_t, 4> b,
                    std::span<std::uint8_t, 4> d);

}  // namespace hwid
