#include "crypto/md5.h"

#include <cstring>

#include "crypto/byte_order.h"

namespace hwid {
namespace {

constexpr std::uint32_t RotateLeft(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

// a = b + ((a + f(b, c, d) + x + t) <<< s), the one step shape of all four rounds.
template <std::uint32_t (*Fn)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t t) {
    a = b + RotateLeft(a + Fn(b, c, d) + x + t, s);
}

// 0x80 and then zeros: the pad bytes that Finalize feeds.
constexpr std::uint8_t kPadding[64] = {0x80};

}  // namespace

void Md5Digest::Reset() {
    bitCountLow = 0;
    bitCountHigh = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
}

void Md5Digest::Update(const std::uint8_t* data, std::int32_t length) {
    if (length < 1) {
        return;
    }
    const auto count = static_cast<std::uint32_t>(length);
    std::uint32_t index = (bitCountLow >> 3) & 63;

    const std::uint32_t bits = count << 3;
    bitCountLow += bits;
    bitCountHigh += count >> 29;
    if (bitCountLow < bits) {
        ++bitCountHigh;
    }

    std::uint32_t remaining = count;
    if (index != 0) {
        const std::uint32_t n = index + remaining > 64 ? 64 - index : remaining;
        std::memcpy(block + index, data, n);
        if (index + n < 64) {
            return;
        }
        TransformBlock(block);
        data += n;
        remaining -= n;
    }
    // Whole blocks go straight from the caller's bytes.
    for (; remaining >= 64; remaining -= 64, data += 64) {
        TransformBlock(data);
    }
    if (remaining > 0) {
        std::memcpy(block, data, remaining);
    }
}

void Md5Digest::Finalize(std::span<std::uint8_t, 16> out) {
    std::uint8_t countBytes[8];
    StoreLittleEndian32(bitCountLow, std::span(countBytes).first<4>());
    StoreLittleEndian32(bitCountHigh, std::span(countBytes).last<4>());
    const std::uint32_t index = (bitCountLow >> 3) & 63;
    const std::uint32_t padLength = ((55 - index) & 63) + 1;
    Update(kPadding, static_cast<std::int32_t>(padLength));
    Update(countBytes, 8);
    for (std::size_t i = 0; i < 4; ++i) {
        StoreLittleEndian32(state[i], out.subspan(4 * i).first<4>());
    }
}

void Md5Digest::TransformBlock(const std::uint8_t* data) {
    // Message words are read from a 4-byte aligned copy when the caller's
    // block is not aligned.
    alignas(4) std::uint8_t aligned[64];
    const std::uint8_t* bytes = data;
    if (reinterpret_cast<std::uintptr_t>(data) % 4 != 0) {
        std::memcpy(aligned, data, 64);
        bytes = aligned;
    }
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLittleEndian32(std::span<const std::uint8_t, 4>(bytes + 4 * i, 4));
    }

    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    // Round 1
    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
    Step<F>(c, d, a, b, x[2], 17, 0x242070db);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821);

    // Round 2
    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    // Round 3
    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

    // Round 4
    Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace hwid
