// MD5 message digest (RFC 1321).
//
// Small and straightforward: one block at a time, no assembly. It hashes one
// short serial-number text per run, so speed does not matter.
#pragma once

#include <cstdint>
#include <span>

namespace hwid {

struct Md5Digest {
    // Message length in bits, modulo 2^64. The number of bytes waiting in
    // `block` is derived from it and not stored.
    std::uint32_t bitCountLow;
    std::uint32_t bitCountHigh;
    std::uint32_t state[4];  // A, B, C, D
    std::uint8_t block[64];

    void Reset();
    // A length below 1 is ignored.
    void Update(const std::uint8_t* data, std::int32_t length);
    // Writes the digest of everything fed since Reset; the object keeps its
    // final state and must be Reset before it hashes another message.
    void Finalize(std::span<std::uint8_t, 16> out);
    // One MD5 compression of 64 bytes into the state; the bytes may lie at any
    // address.
    void TransformBlock(const std::uint8_t* data);
};

}  // namespace hwid
