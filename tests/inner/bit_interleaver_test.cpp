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
    interleaver.process(bits, out);
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
    interleaver.process({}, std::span(&untouched, 1));
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
    interleaver.process(bits, out);
    EXPECT_EQ(out[125], 3);
    EXPECT_EQ(out[126], 0xAA);
}

TEST(BitInterleaver, RejectsAnUnknownConstellation) {
    EXPECT_THROW(BitInterleaver(static_cast<Constellation>(3)), std::invalid_argument);
}

// ---- Hierarchical demultiplexing (two streams)

std::vector<uint8_t> interleave_two(Constellation constellation, const std::vector<uint8_t>& hp,
                                    const std::vector<uint8_t>& lp) {
    BitInterleaver interleaver(constellation);
    std::vector<uint8_t> out(hp.size() / 2, 0xAA);
    interleaver.process_hierarchical(hp, lp, out);
    return out;
}

struct HierarchicalBit {
    bool low_priority;
    int position;  // in that stream's block
    int byte;      // the one non-zero output byte
    int value;
};

// Worked by hand from the clause: x'0 -> b0 (H0 = w), x'1 -> b1 (w + 63),
// then 16QAM x''0 -> b2 (w + 105), x''1 -> b3 (w + 42); 64QAM x''0 -> b2,
// x''1 -> b4 (w + 21), x''2 -> b3, x''3 -> b5 (w + 84).
TEST(HierarchicalBitInterleaver, SingleBitsLandWhereTheStandardPutsThem) {
    const std::vector<std::pair<Constellation, std::vector<HierarchicalBit>>> cases = {
        {kQam16, {{false, 0, 0, 8}, {false, 1, 63, 4}, {true, 0, 21, 2}, {true, 1, 84, 1}}},
        {kQam64,
         {{false, 0, 0, 32},
          {false, 1, 63, 16},
          {true, 0, 21, 8},
          {true, 1, 105, 2},
          {true, 2, 84, 4},
          {true, 3, 42, 1}}},
    };
    for (const auto& [constellation, bits] : cases) {
        const int v = bits_per_cell[constellation];
        for (const HierarchicalBit& c : bits) {
            std::vector<uint8_t> hp(252, 0), lp(126 * (v - 2), 0);
            (c.low_priority ? lp : hp)[c.position] = 1;
            std::vector<uint8_t> expected(126, 0);
            expected[c.byte] = static_cast<uint8_t>(c.value);
            EXPECT_EQ(interleave_two(constellation, hp, lp), expected)
                << kConstellationNames[constellation] << (c.low_priority ? " LP " : " HP ")
                << c.position;
        }
    }
}

// Random streams of one 8k symbol and of a 2k symbol, against the oracle;
// the high-priority bits must sit on y0, y1 (the quadrant bits) alone.
TEST(HierarchicalBitInterleaver, MatchesTheOracleOnRandomStreams) {
    std::mt19937 rng(17);
    for (Constellation c : {kQam16, kQam64}) {
        const int v = bits_per_cell[c];
        for (int cells : {1512, 6048}) {
            std::vector<uint8_t> hp(2 * cells), lp((v - 2) * cells);
            for (auto& b : hp) b = rng() & 1;
            for (auto& b : lp) b = rng() & 1;
            const std::vector<uint8_t> out = interleave_two(c, hp, lp);
            ASSERT_EQ(out, reference::hierarchical_bit_interleave(c, hp, lp))
                << kConstellationNames[c] << " " << cells;
            std::vector<uint8_t> hp_only = interleave_two(c, hp, std::vector<uint8_t>(lp.size()));
            std::vector<uint8_t> lp_only = interleave_two(c, std::vector<uint8_t>(hp.size()), lp);
            for (size_t w = 0; w < out.size(); ++w) {
                ASSERT_EQ(hp_only[w] & ((1 << (v - 2)) - 1), 0) << w;
                ASSERT_EQ(lp_only[w] >> (v - 2), 0) << w;
                ASSERT_EQ(hp_only[w] | lp_only[w], out[w]) << w;
            }
        }
    }
}

// The non-hierarchical demultiplexer differs (16QAM sends x1 to b2): the
// same bits merged group by group do not give the hierarchical output.
TEST(HierarchicalBitInterleaver, DiffersFromTheNonHierarchicalDemultiplexing) {
    std::vector<uint8_t> hp(252, 0), lp(252, 0);
    hp[1] = 1;  // x'1 of group 0 -> b1, not b2
    std::vector<uint8_t> merged(504, 0);
    merged[1] = 1;
    EXPECT_NE(interleave_two(kQam16, hp, lp), interleave(kQam16, merged));
}

TEST(HierarchicalBitInterleaver, StopsAtTheShortestStreamAndRefusesQpsk) {
    std::vector<uint8_t> hp(504, 1), lp(252 + 100, 1);  // 64QAM: LP holds 0 whole blocks
    std::vector<uint8_t> out(252, 0xAA);
    BitInterleaver(kQam64).process_hierarchical(hp, lp, out);
    EXPECT_EQ(out, std::vector<uint8_t>(252, 0xAA));
    BitInterleaver(kQam16).process_hierarchical(hp, lp, out);  // 1 block of 16QAM
    EXPECT_EQ(out[125], 15);
    EXPECT_EQ(out[126], 0xAA);
    EXPECT_THROW(BitInterleaver(kQpsk).process_hierarchical(hp, lp, out), std::logic_error);
}

}  // namespace
}  // namespace terramod
