#include "outer/reed_solomon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outer_test_support.h"

namespace terramod {
namespace {

using test::gf_multiply;
using test::kCodeword;
using test::kPacket;

// The oracle: the parity of a packet as the remainder of x^16 m(x) divided by
// g(x), by long division with bitwise field arithmetic. Returned highest
// power first, as the codeword carries it.
std::vector<uint8_t> long_division_parity(const uint8_t* packet) {
    // g(x) built from its roots, coefficient of x^k at index k.
    std::vector<uint8_t> g = {1};
    uint8_t root = 1;
    for (int i = 0; i < 16; ++i) {
        std::vector<uint8_t> next(g.size() + 1, 0);
        for (size_t k = 0; k < g.size(); ++k) {
            next[k + 1] ^= g[k];
            next[k] ^= gf_multiply(g[k], root);
        }
        g = next;
        root = gf_multiply(root, 2);
    }
    // Dividend highest power first: packet then 16 zeros (g is monic).
    std::vector<uint8_t> rest(packet, packet + kPacket);
    rest.resize(kPacket + 16, 0);
    for (int i = 0; i < kPacket; ++i) {
        const uint8_t factor = rest[i];
        for (int k = 0; k <= 16; ++k) rest[i + k] ^= gf_multiply(factor, g[16 - k]);
    }
    return std::vector<uint8_t>(rest.begin() + kPacket, rest.end());
}

// The codeword as a polynomial (byte 0 the coefficient of x^203) at x.
uint8_t evaluate_codeword(const uint8_t* codeword, uint8_t x) {
    uint8_t value = 0;
    for (int i = 0; i < kCodeword; ++i) value = gf_multiply(value, x) ^ codeword[i];
    return value;
}

std::vector<uint8_t> parity_of(ReedSolomonEncoder& encoder, const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> codeword(kCodeword);
    encoder.process(std::span(packet.data(), kPacket), codeword);
    return std::vector<uint8_t>(codeword.begin() + kPacket, codeword.end());
}

TEST(ReedSolomon, FieldTablesMatchBitwiseArithmetic) {
    ReedSolomonEncoder encoder;
    const auto& antilog = encoder.gf_antilog();
    const auto& log = encoder.gf_log();
    EXPECT_EQ(antilog[8], 0x1D);
    EXPECT_EQ(antilog[255], 0);
    EXPECT_EQ(log[0], 255);
    uint8_t power = 1;
    for (int e = 0; e < 255; ++e) {
        ASSERT_EQ(antilog[e], power) << "e = " << e;
        ASSERT_EQ(log[power], e) << "v = " << int(power);
        power = gf_multiply(power, 2);
    }
    for (int32_t x = 0; x <= 508; ++x) ASSERT_EQ(ReedSolomonEncoder::gf_mod255(x), x % 255) << x;
}

TEST(ReedSolomon, GeneratorPolynomial) {
    ReedSolomonEncoder encoder;
    const std::array<int32_t, 17> logs = {120, 225, 194, 182, 169, 147, 191, 91, 3,
                                          76,  161, 102, 109, 107, 104, 120, 0};
    EXPECT_EQ(encoder.generator(), logs);
    const uint8_t from_x16[] = {0x01, 0x3B, 0x0D, 0x68, 0xBD, 0x44, 0xD1, 0x1E, 0x08,
                                0xA3, 0x41, 0x29, 0xE5, 0x62, 0x32, 0x24, 0x3B};
    for (int k = 0; k <= 16; ++k) EXPECT_EQ(encoder.gf_antilog()[logs[k]], from_x16[16 - k]) << k;
}

TEST(ReedSolomon, ParityOfListedPackets) {
    ReedSolomonEncoder encoder;
    std::vector<uint8_t> packet(kPacket, 0);
    EXPECT_EQ(parity_of(encoder, packet), std::vector<uint8_t>(16, 0));
    for (int k = 0; k < kPacket; ++k) packet[k] = static_cast<uint8_t>(k);
    EXPECT_EQ(parity_of(encoder, packet),
              (std::vector<uint8_t>{0x31, 0x1D, 0x78, 0xD6, 0xC8, 0x60, 0xF8, 0x78, 0xB7, 0x18,
                                    0x9F, 0x1A, 0x54, 0x96, 0x1D, 0x5F}));
    packet.assign(kPacket, 0xFF);
    EXPECT_EQ(parity_of(encoder, packet),
              (std::vector<uint8_t>{0x54, 0x99, 0x30, 0x4C, 0x67, 0x9A, 0x79, 0x74, 0x18, 0x9F,
                                    0x7F, 0x38, 0xA5, 0xB7, 0x46, 0xD5}));
    packet.assign(kPacket, 0);
    packet[0] = 0xB8;
    EXPECT_EQ(parity_of(encoder, packet),
              (std::vector<uint8_t>{0x9F, 0x2C, 0x18, 0x47, 0x77, 0x93, 0x1F, 0x31, 0x0B, 0xF2,
                                    0xD1, 0x4C, 0x99, 0xD2, 0xF9, 0x48}));
    packet[0] = 0x47;
    EXPECT_EQ(parity_of(encoder, packet),
              (std::vector<uint8_t>{0x7E, 0x34, 0xA4, 0x93, 0xC6, 0x2C, 0xFB, 0x23, 0x0D, 0xF0,
                                    0x0C, 0x9E, 0x57, 0x96, 0xFD, 0x5B}));
}

// Many random packets in one block: systematic part unchanged, parity equal
// to the long-division oracle and to the reference register, and every
// codeword zero at lambda^0 ... lambda^15.
TEST(ReedSolomon, RandomPacketsAreCodewords) {
    constexpr int32_t kPackets = 2007;  // 250 runs of eight, one of four, three alone
    ReedSolomonEncoder encoder;
    const std::vector<uint8_t> input = test::random_bytes(kPackets * kPacket, 5);
    std::vector<uint8_t> output(kPackets * kCodeword + 1, 0xA5);
    encoder.process(input, output);
    EXPECT_EQ(output.back(), 0xA5) << "wrote past 204 bytes per packet";
    std::array<uint8_t, 239> message{};
    std::array<uint8_t, 16> parity{};
    for (int32_t n = 0; n < kPackets; ++n) {
        const uint8_t* packet = input.data() + n * kPacket;
        const uint8_t* codeword = output.data() + n * kCodeword;
        ASSERT_TRUE(std::equal(packet, packet + kPacket, codeword)) << "packet " << n;
        const std::vector<uint8_t> parity_bytes(codeword + kPacket, codeword + kCodeword);
        ASSERT_EQ(parity_bytes, long_division_parity(packet)) << "packet " << n;
        for (int k = 0; k < kPacket; ++k) message[187 - k] = packet[k];
        encoder.encode_block(message.data(), parity.data());
        for (int m = 0; m < 16; ++m) ASSERT_EQ(parity_bytes[m], parity[15 - m]) << "packet " << n;
        uint8_t root = 1;
        for (int i = 0; i < 16; ++i, root = gf_multiply(root, 2)) {
            ASSERT_EQ(evaluate_codeword(codeword, root), 0) << "packet " << n << " root " << i;
        }
    }
}

TEST(ReedSolomon, IgnoresPartialPacket) {
    ReedSolomonEncoder encoder;
    const std::vector<uint8_t> input = test::random_bytes(2 * kPacket + 100, 9);
    std::vector<uint8_t> output(3 * kCodeword, 0xA5);
    encoder.process(input, output);
    EXPECT_TRUE(std::all_of(output.begin() + 2 * kCodeword, output.end(),
                            [](uint8_t byte) { return byte == 0xA5; }));
}

}  // namespace
}  // namespace terramod
