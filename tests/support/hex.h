// Hex text to bytes and back, for readable test vectors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hwid::test {

// Accepts upper or lower case digits; spaces between bytes are skipped.
std::vector<std::uint8_t> FromHex(std::string_view hex);

// Uppercase digits, no separators.
std::string ToHex(std::span<const std::uint8_t> bytes);

}  // namespace hwid::test
