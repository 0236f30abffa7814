#include "inner/bit_interleaver.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

std::vector<uint8_t> interleave(Constellation constellation, const std::vector<uint8_t>& bits) {
    BitInterleaver interleaver(constellation);
    std::vector<uint8_t> out(bits.size() / bits_per_cell[constellation], 0xAA);
    interleaver.bit_interleave(bits, out);
    return out;
}

struct SingleBit {
    int position;  // in the block
    int byte;      // the one non-zero output byte
    int value;
};

void expect_single_bit_results(Constellation constellation, const std::vector<SingleBit>& cases) {
    const int v = bits_per_cell[constellation];
    for (const SingleBit& c : cases) {
        std::vector<uint8_t> bits(126 * v, 0);
        bits[c.position] = 1;
        std::vector<uint8_t> expected(126, 0);
        expected[c.byte] = static_cast<uint8_t>(c.value);
        EXPECT_EQ(interleave(constellation, bits), expected)
            << kConstellationNames[constellation] << " position " << c.position;
    }
}

TEST(BitInterleaver, SingleBitsLandWhereTheStandardPutsThem) {
    expect_single_bit_results(kQpsk, {{0, 0, 2}, {1, 63, 1}});
    expect_single_bit_results(kQam16, {{0, 0, 8}, {1, 21, 2}, {2, 63, 4}, {3, 84, 1}});
    expect_single_bit_results(
        kQam64, {{0, 0, 32}, {1, 21, 8}, {2, 105, 2}, {3, 63, 16}, {4, 84, 4}, {5, 42, 1}});
}

TEST(BitInterleaver, AllOnesFillEverySymbol) {
    const uint8_t full[] = {3, 15, 63};
    for (Constellation c : {kQpsk, kQam16, kQam64}) {
        std::vector<uint8_t> ones(126 * bits_per_cell[c] * 3, 1);
        EXPECT_EQ(interleave(c, ones), std::vector<uint8_t>(126 * 3, full[c]));
    }
}

TEST(BitInterleaver, EmptyCallWritesNothing) {
    BitInterleaver interleaver(kQam64);
    uint8_t untouched = 0xAA;
    interleaver.bit_interleave({}, std::span(&untouched, 1));
    EXPECT_EQ(untouched, 0xAA);
}

TEST(BitInterleaver, MatchesTheOracleOnRandomBitsForEveryConstellation) {
    std::mt19937 rng(5);
    for (Constellation c : {kQpsk, kQam16, kQam64}) {
        for (int trial = 0; trial < 5; ++trial) {
            // One 8k OFDM symbol's worth of bits, 48 blocks.
            std::vector<uint8_t> bits(6048 * bits_per_cell[c]);
            for (auto& b : bits) b = rng() & 1;
            ASSERT_EQ(interleave(c, bits), reference::bit_interleave(c, bits))
                << kConstellationNames[c] << " trial " << trial;
        }
    }
}

TEST(BitInterleaver, BlocksAreIndependentOfWhatCameBefore) {
    std::mt19937 rng(9);
    for (Constellation c : {kQpsk, kQam16, kQam64}) {
        const size_t block = 126 * bits_per_cell[c];
        std::vector<uint8_t> bits(block * 3);
        for (auto& b : bits) b = rng() & 1;
        std::copy(bits.begin(), bits.begin() + block, bits.begin() + 2 * block);
        std::vector<uint8_t> out = interleave(c, bits);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 126, out.begin() + 252));
    }
}

TEST(BitInterleaver, IgnoresAnIncompleteTrailingBlock) {
    std::vector<uint8_t> bits(252 + 100, 1);
    std::vector<uint8_t> out(126 + 50, 0xAA);
    BitInterleaver interleaver(kQpsk);
    interleaver.bit_interleave(bits, out);
    EXPECT_EQ(out[125], 3);
    EXPECT_EQ(out[126], 0xAA);
}

TEST(BitInterleaver, RejectsAnUnknownConstellation) {
    EXPECT_THROW(BitInterleaver(static_cast<Constellation>(3)), std::invalid_argument);
}

}  // namespace
}  // namespace terramod
