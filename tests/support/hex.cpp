#include "support/hex.h"

#include <cstdio>
#include <stdexcept>

namespace hwid::test {
namespace {

int Nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    throw std::invalid_argument("not a hex digit");
}

}  // namespace

std::vector<std::uint8_t> FromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= hex.size()) {
            throw std::invalid_argument("odd number of hex digits");
        }
        bytes.push_back(static_cast<std::uint8_t>(Nibble(hex[i]) << 4 | Nibble(hex[i + 1])));
        i += 2;
    }
    return bytes;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char pair[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

}  // namespace hwid::test
