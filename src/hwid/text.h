// Byte-wise text helpers shared by the disk probes. Character classes are the
// C locale's on single bytes; bytes 128 to 255 belong to none.
#pragma once

#include <cstddef>
#include <span>

namespace hwid {

constexpr bool IsBlank(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}
constexpr bool IsPrintable(unsigned char c) {
    return c >= 32 && c <= 126;
}
constexpr bool IsAlphanumeric(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Copies the zero-terminated text at source, cut to fit, and terminates it.
// Bytes of destination after the terminator are left as they were.
inline void CopyText(std::span<char> destination, const char* source) {
    if (destination.empty()) {
        return;
    }
    std::size_t n = 0;
    for (; n + 1 < destination.size() && source[n] != '\0'; ++n) {
        destination[n] = source[n];
    }
    destination[n] = '\0';
}

}  // namespace hwid
