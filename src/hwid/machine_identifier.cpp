#include "hwid/machine_identifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "crypto/aes256.h"
#include "crypto/digest_fold.h"
#include "crypto/md5.h"

namespace hwid {

std::uint32_t ComputeFoldValue(std::span<const char, kTextFieldSize> serialText) {
    // The record keeps serialText terminated within its width: at most 1023
    // characters, so the copy below always stays terminated.
    const std::size_t n = strnlen(serialText.data(), kTextFieldSize - 1);
    if (n == 0) {
        return kFoldOffset;
    }
    char hashInput[kTextFieldSize] = {};
    std::memcpy(hashInput, serialText.data(), n);

    auto digest = std::make_unique<Md5Digest>();
    digest->Reset();
    digest->Update(reinterpret_cast<const std::uint8_t*>(hashInput), static_cast<std::int32_t>(n));
    std::uint8_t bytes[16];
    digest->Finalize(bytes);
    std::uint8_t permuted[16];
    PermuteDigest(bytes, permuted);
    return SumDigestWords(permuted) + kFoldOffset;
}

void BuildDiagonalBlock(std::uint32_t value, std::span<std::uint8_t, 16> block) {
    std::fill(block.begin(), block.end(), 0);
    for (int i = 0; i < 4; ++i) {
        block[5 * i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

MixedBlocks MixCipherBlocks(std::span<const std::uint8_t, 16> c1,
                            std::span<const std::uint8_t, 16> c2) {
    MixedBlocks mixed;
    for (int i = 0; i < 16; ++i) {
        const bool even = i % 2 == 0;
        const auto first = static_cast<std::uint8_t>(even ? ~c1[i] : c1[i]);
        const auto second = static_cast<std::uint8_t>(even ? c2[i] : ~c2[i]);
        mixed.first[i] = first;
        // Added twice, each sum modulo 256.
        mixed.second[i] = static_cast<std::uint8_t>(second + first + first);
    }
    return mixed;
}

MixedBlocks DeriveMachineIdentifier(std::uint32_t cpuSignature,
                                    std::span<const char, kTextFieldSize> serialText) {
    const std::uint32_t foldValue = ComputeFoldValue(serialText);
    EnsureKeySchedule();
    std::uint8_t plain[16];
    std::uint8_t c1[16];
    std::uint8_t c2[16];
    BuildDiagonalBlock(cpuSignature, plain);
    EncipherBlock(plain, c1);
    BuildDiagonalBlock(foldValue, plain);
    EncipherBlock(plain, c2);
    return MixCipherBlocks(c1, c2);
}

void FormatMachineIdentifier(const MixedBlocks& blocks, std::span<char, kIdentifierTextSize> text) {
    for (std::size_t i = 0; i < 16; ++i) {
        std::snprintf(text.data() + 4 * i, 5, "%02X%02X", blocks.first[i], blocks.second[i]);
    }
}

void CollectMachineFacts(MachineFacts& facts, DeviceServices& services, CpuidFunction cpuid) {
    facts.cpuSignature = QueryCpuSignature(cpuid);
    // smartReply is left as it is: the SMART probe clears it before use.
    facts.identity.serialText.fill(0);
    facts.identity.modelText.fill(0);
    facts.identity.diagnosticText.fill(0);
    CollectDiskIdentity(facts.identity, services);
}

}  // namespace hwid
