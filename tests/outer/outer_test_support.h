// Shared helpers of the outer-coding tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace terramod::test {

inline constexpr int32_t kPacket = 188;
inline constexpr int32_t kCodeword = 204;

// Random bytes from a fixed seed.
inline std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 engine(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(engine() & 0xFFu);
    return bytes;
}

// A transport stream of random packets, each starting with 0x47.
inline std::vector<uint8_t> random_stream(int32_t packets, uint32_t seed) {
    std::vector<uint8_t> stream = random_bytes(static_cast<size_t>(packets) * kPacket, seed);
    for (int32_t p = 0; p < packets; ++p) stream[static_cast<size_t>(p) * kPacket] = 0x47;
    return stream;
}

// Multiplication in GF(256) with p(x) = x^8 + x^4 + x^3 + x^2 + 1, bit by
// bit: independent of the encoder's log/antilog tables.
inline uint8_t gf_multiply(uint8_t a, uint8_t b) {
    uint32_t product = 0;
    uint32_t shifted = a;
    for (int bit = 0; bit < 8; ++bit) {
        if (b & (1u << bit)) product ^= shifted;
        shifted <<= 1;
        if (shifted & 0x100u) shifted ^= 0x11Du;
    }
    return static_cast<uint8_t>(product);
}

}  // namespace terramod::test
