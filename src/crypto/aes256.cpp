#include "crypto/aes256.h"

#include <atomic>
#include <cstring>

namespace hwid {

Aes256Cipher aes256Cipher;

const std::uint8_t kEmbeddedKey[32] = {
    0x3B, 0x85, 0xCC, 0xB0, 0xBD, 0x05, 0x3D, 0xCB, 0x68, 0x9B, 0x0A, 0xCC, 0x52, 0x64, 0x29, 0x7D,
    0xCB, 0x84, 0x96, 0xA1, 0x12, 0xF3, 0xBF, 0x60, 0x5F, 0xC6, 0xD4, 0x06, 0xF5, 0x29, 0x47, 0xEE,
};

namespace {

constexpr int Nb = 4;

// clang-format off
constexpr std::uint8_t kSbox[256] = {
    //  0     1     2     3     4     5     6     7     8     9     A     B     C     D     E     F
    0x63, 0x7C, 0x77, 0x7B, 0xF2, 0x6B, 0x6F, 0xC5, 0x30, 0x01, 0x67, 0x2B, 0xFE, 0xD7, 0xAB, 0x76,  // 0
    0xCA, 0x82, 0xC9, 0x7D, 0xFA, 0x59, 0x47, 0xF0, 0xAD, 0xD4, 0xA2, 0xAF, 0x9C, 0xA4, 0x72, 0xC0,  // 1
    0xB7, 0xFD, 0x93, 0x26, 0x36, 0x3F, 0xF7, 0xCC, 0x34, 0xA5, 0xE5, 0xF1, 0x71, 0xD8, 0x31, 0x15,  // 2
    0x04, 0xC7, 0x23, 0xC3, 0x18, 0x96, 0x05, 0x9A, 0x07, 0x12, 0x80, 0xE2, 0xEB, 0x27, 0xB2, 0x75,  // 3
    0x09, 0x83, 0x2C, 0x1A, 0x1B, 0x6E, 0x5A, 0xA0, 0x52, 0x3B, 0xD6, 0xB3, 0x29, 0xE3, 0x2F, 0x84,  // 4
    0x53, 0xD1, 0x00, 0xED, 0x20, 0xFC, 0xB1, 0x5B, 0x6A, 0xCB, 0xBE, 0x39, 0x4A, 0x4C, 0x58, 0xCF,  // 5
    0xD0, 0xEF, 0xAA, 0xFB, 0x43, 0x4D, 0x33, 0x85, 0x45, 0xF9, 0x02, 0x7F, 0x50, 0x3C, 0x9F, 0xA8,  // 6
    0x51, 0xA3, 0x40, 0x8F, 0x92, 0x9D, 0x38, 0xF5, 0xBC, 0xB6, 0xDA, 0x21, 0x10, 0xFF, 0xF3, 0xD2,  // 7
    0xCD, 0x0C, 0x13, 0xEC, 0x5F, 0x97, 0x44, 0x17, 0xC4, 0xA7, 0x7E, 0x3D, 0x64, 0x5D, 0x19, 0x73,  // 8
    0x60, 0x81, 0x4F, 0xDC, 0x22, 0x2A, 0x90, 0x88, 0x46, 0xEE, 0xB8, 0x14, 0xDE, 0x5E, 0x0B, 0xDB,  // 9
    0xE0, 0x32, 0x3A, 0x0A, 0x49, 0x06, 0x24, 0x5C, 0xC2, 0xD3, 0xAC, 0x62, 0x91, 0x95, 0xE4, 0x79,  // A
    0xE7, 0xC8, 0x37, 0x6D, 0x8D, 0xD5, 0x4E, 0xA9, 0x6C, 0x56, 0xF4, 0xEA, 0x65, 0x7A, 0xAE, 0x08,  // B
    0xBA, 0x78, 0x25, 0x2E, 0x1C, 0xA6, 0xB4, 0xC6, 0xE8, 0xDD, 0x74, 0x1F, 0x4B, 0xBD, 0x8B, 0x8A,  // C
    0x70, 0x3E, 0xB5, 0x66, 0x48, 0x03, 0xF6, 0x0E, 0x61, 0x35, 0x57, 0xB9, 0x86, 0xC1, 0x1D, 0x9E,  // D
    0xE1, 0xF8, 0x98, 0x11, 0x69, 0xD9, 0x8E, 0x94, 0x9B, 0x1E, 0x87, 0xE9, 0xCE, 0x55, 0x28, 0xDF,  // E
    0x8C, 0xA1, 0x89, 0x0D, 0xBF, 0xE6, 0x42, 0x68, 0x41, 0x99, 0x2D, 0x0F, 0xB0, 0x54, 0xBB, 0x16,  // F
};
// clang-format on

// Products in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1, formed bit by bit in
// eight rounds, eight at a time: byte lane n of the result is lane n of x
// times lane n of y. Eight lanes at once keep the 26 MixColumns of a run cheap.
std::uint64_t MultiplyLanes(std::uint64_t x, std::uint64_t y) {
    constexpr std::uint64_t kLowBits = 0x0101010101010101u;
    std::uint64_t p = 0;
    for (int bit = 0; bit < 8; ++bit) {
        // Each lane adds its x when its current bit of y is set...
        p ^= x & (((y >> bit) & kLowBits) * 0xFFu);
        // ...and its x becomes xtime(x): shift left, reduce what falls out.
        x = ((x & (kLowBits * 0x7Fu)) << 1) ^ (((x >> 7) & kLowBits) * 0x1Bu);
    }
    return p;
}

std::uint8_t Multiply(std::uint8_t x, std::uint8_t y) {
    return static_cast<std::uint8_t>(MultiplyLanes(x, y));
}

// First byte of the round-constant word for i / Nk = n: x^(n-1).
std::uint8_t RoundConstant(int n) {
    std::uint8_t rcon = 0x01;
    for (int k = 2; k <= n; ++k) {
        rcon = Multiply(rcon, 0x02);
    }
    return rcon;
}

void SubBytes(std::uint8_t state[16]) {
    for (int i = 0; i < 16; ++i) {
        state[i] = kSbox[state[i]];
    }
}

// Row r turns left by r positions.
void ShiftRows(std::uint8_t state[16]) {
    for (int r = 1; r < 4; ++r) {
        std::uint8_t* row = state + 4 * r;
        const std::uint8_t old[4] = {row[0], row[1], row[2], row[3]};
        for (int c = 0; c < 4; ++c) {
            row[c] = old[(c + r) % 4];
        }
    }
}

void AddRoundKey(std::uint8_t state[16], int round) {
    const std::uint8_t* roundKey = aes256Cipher.keySchedule + 16 * round;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            state[4 * r + c] ^= roundKey[4 * c + r];
        }
    }
}

// Fills w with the schedule of a key of 4 * Nk bytes for Nr rounds.
void ExpandKey(std::span<const std::uint8_t> key, int Nk, int Nr, std::uint8_t* w) {
    const int total = Nb * (Nr + 1);
    std::memcpy(w, key.data(), 4 * static_cast<std::size_t>(Nk));
    for (int i = Nk; i < total; ++i) {
        std::uint8_t temp[4] = {w[4 * (i - 1)], w[4 * (i - 1) + 1], w[4 * (i - 1) + 2],
                                w[4 * (i - 1) + 3]};
        if (i % Nk == 0) {
            const std::uint8_t t0 = temp[0];
            temp[0] = static_cast<std::uint8_t>(kSbox[temp[1]] ^ RoundConstant(i / Nk));
            temp[1] = kSbox[temp[2]];
            temp[2] = kSbox[temp[3]];
            temp[3] = kSbox[t0];
        } else if (Nk > 6 && i % Nk == 4) {
            for (std::uint8_t& t : temp) {
                t = kSbox[t];
            }
        }
        for (int b = 0; b < 4; ++b) {
            w[4 * i + b] = w[4 * (i - Nk) + b] ^ temp[b];
        }
    }
}

}  // namespace

void EnsureKeySchedule() {
    // Other threads may ask at the same time (the library runs inside its
    // callers' threads): the schedule is filled under a spin lock, then
    // published by a release store of its pointer, so that a reader that sees
    // the pointer also sees the words and Nk, Nr.
    std::atomic_ref<std::uint8_t*> published(aes256Cipher.keySchedule);
    if (published.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    static constinit std::atomic_flag expanding = ATOMIC_FLAG_INIT;
    while (expanding.test_and_set(std::memory_order_acquire)) {
        // Another thread is expanding the key: a few microseconds.
    }
    if (published.load(std::memory_order_relaxed) == nullptr) {
        // Kept for the life of the process: the program enciphers until it exits.
        static std::uint8_t schedule[4 * Nb * (14 + 1)];
        ExpandKey(kEmbeddedKey, 8, 14, schedule);
        aes256Cipher.Nk = 8;
        aes256Cipher.Nr = 14;
        published.store(schedule, std::memory_order_release);
    }
    expanding.clear(std::memory_order_release);
}

void KeyExpansion() {
    KeyExpansion(kEmbeddedKey);
}

void KeyExpansion(std::span<const std::uint8_t> key) {
    ExpandKey(key, aes256Cipher.Nk, aes256Cipher.Nr, aes256Cipher.keySchedule);
}

void EncipherBlock(std::span<const std::uint8_t, 16> input, std::span<std::uint8_t, 16> output) {
    std::uint8_t state[16];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            state[4 * r + c] = input[r + 4 * c];
        }
    }
    AddRoundKey(state, 0);
    for (int round = 1; round < aes256Cipher.Nr; ++round) {
        SubBytes(state);
        ShiftRows(state);
        MixColumns(state);
        AddRoundKey(state, round);
    }
    SubBytes(state);
    ShiftRows(state);
    AddRoundKey(state, aes256Cipher.Nr);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            output[r + 4 * c] = state[4 * r + c];
        }
    }
}

void MixColumns(std::span<std::uint8_t, 16> state) {
    static constexpr std::uint8_t kCoefficients[4] = {0x02, 0x01, 0x01, 0x03};
    for (int c = 0; c < 4; ++c) {
        const std::uint8_t b[4] = {state[c], state[4 + c], state[8 + c], state[12 + c]};
        std::uint8_t d[4];
        MultiplyColumn(kCoefficients, b, d);
        for (int r = 0; r < 4; ++r) {
            state[4 * r + c] = d[r];
        }
    }
}

void MultiplyColumn(std::span<const std::uint8_t, 4> a, std::span<const std::uint8_t, 4> b,
                    std::span<std::uint8_t, 4> d) {
    // d[r] is the sum over k of a[(r - k) mod 4] * b[k]. Lanes 0-3 hold the
    // terms of one k for r = 0..3, lanes 4-7 those of k + 1: two eight-lane
    // products give all sixteen terms.
    std::uint64_t sum = 0;
    for (int k = 0; k < 4; k += 2) {
        std::uint64_t coefficients = 0;
        std::uint64_t column = 0;
        for (int lane = 0; lane < 8; ++lane) {
            const int r = lane % 4;
            const int term = k + lane / 4;
            coefficients |= std::uint64_t{a[(r - term + 4) % 4]} << (8 * lane);
            column |= std::uint64_t{b[term]} << (8 * lane);
        }
        sum ^= MultiplyLanes(coefficients, column);
    }
    for (int r = 0; r < 4; ++r) {
        d[r] = static_cast<std::uint8_t>((sum >> (8 * r)) ^ (sum >> (8 * (r + 4))));
    }
}

}  // namespace hwid
