// Shared by the fuzz targets: reading the fuzzer's bytes as decisions, and the
// invariants every target checks. A broken invariant aborts, which the fuzzer
// reports like a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "hwid/disk_identity.h"

namespace hwid::fuzz {

inline void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Hands out the input's bytes in order; zeros once they run out.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= std::uint32_t{Byte()} << (8 * i);
        }
        return value;
    }
    bool Bit() { return (Byte() & 1) != 0; }
    // Copies up to `out.size()` bytes, as many as are left.
    std::size_t Bytes(std::span<std::uint8_t> out) {
        const std::size_t n = std::min(out.size(), size_ - at_);
        if (n > 0) {
            std::memcpy(out.data(), data_ + at_, n);
        }
        at_ += n;
        return n;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

inline bool TerminatedWithin(std::span<const char> text) {
    return std::memchr(text.data(), 0, text.size()) != nullptr;
}

// The three text fields stay zero-terminated within their widths, so the
// serial holds at most 1023 characters.
inline void RequireRecordInvariants(const DiskIdentity& identity) {
    Require(TerminatedWithin(identity.serialText), "serialText terminated");
    Require(TerminatedWithin(identity.modelText), "modelText terminated");
    Require(TerminatedWithin(identity.diagnosticText), "diagnosticText terminated");
    Require(strnlen(identity.serialText.data(), kTextFieldSize) <= kTextFieldSize - 1,
            "serialText at most 1023 characters");
}

inline DiskIdentity ZeroedIdentity() {
    DiskIdentity identity;
    identity.serialText.fill(0);
    identity.modelText.fill(0);
    identity.diagnosticText.fill(0);
    identity.smartReply.fill(0xA5);  // main leaves it uninitialised
    return identity;
}

}  // namespace hwid::fuzz
