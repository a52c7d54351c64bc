// 32-bit values stored least significant byte first, as MD5 reads its message
// words and as the Windows disk structures lay out their fields. Shared by
// every layer above: crypto is the bottom one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace hwid {

constexpr std::uint32_t LoadLittleEndian32(std::span<const std::uint8_t, 4> bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The four bytes at `at` of a buffer that holds them.
constexpr std::uint32_t LoadLittleEndian32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return LoadLittleEndian32(bytes.subspan(at).first<4>());
}

constexpr void StoreLittleEndian32(std::uint32_t value, std::span<std::uint8_t, 4> bytes) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace hwid
