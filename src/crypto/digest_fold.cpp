#include "crypto/digest_fold.h"

#include "crypto/byte_order.h"

namespace hwid {
namespace {

// Entry k is the destination position of digest byte k.
constexpr std::uint8_t kPermutation[16] = {14, 0, 11, 2, 5, 3, 12, 13, 15, 4, 6, 7, 8, 9, 1, 10};

}  // namespace

void PermuteDigest(std::span<const std::uint8_t, 16> digest,
                   std::span<std::uint8_t, 16> destination) {
    for (int k = 0; k < 16; ++k) {
        destination[kPermutation[k]] = digest[k];
    }
}

std::uint32_t SumDigestWords(std::span<const std::uint8_t, 16> permuted) {
    std::uint32_t sum = 0;
    for (int j = 0; j < 4; ++j) {
        sum += LoadLittleEndian32(permuted, static_cast<std::size_t>(4 * j));
    }
    return sum;
}

}  // namespace hwid
