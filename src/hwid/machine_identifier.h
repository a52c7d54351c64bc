// Everything between the two hardware facts and the printed identifier.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "hwid/cpu_signature.h"
#include "hwid/disk_identity.h"

namespace hwid {

// 64 hex digits and a terminator.
inline constexpr std::size_t kIdentifierTextSize = 65;

// The two cipher blocks after mixing: character pair 2i of the identifier is
// first[i], pair 2i + 1 is second[i].
struct MixedBlocks {
    std::array<std::uint8_t, 16> first;
    std::array<std::uint8_t, 16> second;
};

// The fold offset for an empty serial text; otherwise MD5 of the text up to its
// terminator, permuted, its words summed with the offset.
std::uint32_t ComputeFoldValue(std::span<const char, kTextFieldSize> serialText);

// The 32-bit value v on the block's diagonal (positions 0, 5, 10, 15, least
// significant byte first); every other byte zero.
void BuildDiagonalBlock(std::uint32_t value, std::span<std::uint8_t, 16> block);

// Complements c2's odd and c1's even bytes, then adds c1 into c2 twice.
MixedBlocks MixCipherBlocks(std::span<const std::uint8_t, 16> c1,
                            std::span<const std::uint8_t, 16> c2);

// The whole derivation: fold, key schedule, both cipher blocks and the mix.
MixedBlocks DeriveMachineIdentifier(std::uint32_t cpuSignature,
                                    std::span<const char, kTextFieldSize> serialText);

// Writes the identifier as 64 uppercase hex digits, "%02X%02X" per pair.
void FormatMachineIdentifier(const MixedBlocks& blocks, std::span<char, kIdentifierTextSize> text);

// The two hardware facts of a run.
struct MachineFacts {
    std::uint32_t cpuSignature;
    DiskIdentity identity;
};

// Takes the CPU signature, zero-fills the record's three text fields and lets
// CollectDiskIdentity fill it: everything hwid learns from the hardware.
void CollectMachineFacts(MachineFacts& facts, DeviceServices& services,
                         CpuidFunction cpuid = ExecuteCpuid);

}  // namespace hwid
