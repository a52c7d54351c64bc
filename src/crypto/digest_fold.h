// Folds an MD5 digest into the 32-bit value that the second cipher block
// carries.
#pragma once

#include <cstdint>
#include <span>

namespace hwid {

// Added to every fold value, and the whole fold value when there is no serial
// number. Identifiers already handed out depend on it: never change it.
inline constexpr std::uint32_t kFoldOffset = 0xAFE5246D;

// destination[table[k]] = digest[k] for the fixed permutation table.
void PermuteDigest(std::span<const std::uint8_t, 16> digest,
                   std::span<std::uint8_t, 16> destination);

// Sum of the permuted digest's four little-endian words, without the offset,
// modulo 2^32.
std::uint32_t SumDigestWords(std::span<const std::uint8_t, 16> permuted);

}  // namespace hwid
