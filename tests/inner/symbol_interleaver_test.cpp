#include "inner/symbol_interleaver.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

// Where each output cell came from. Cells are bytes, too small to tag 1512 or
// 6048 positions, so the stage runs on the low and on the high byte of each
// cell's index (two stages starting at the same symbol, so the same
// directions) and the two are joined.
std::vector<int32_t> move_tags(OfdmMode mode, int32_t last_symbol, int32_t symbols) {
    const int32_t n_max = data_carrier_count[mode];
    const int32_t first_symbol = (last_symbol + 1) % 68;
    SymbolInterleaver low_interleaver(mode, first_symbol);
    SymbolInterleaver high_interleaver(mode, first_symbol);
    std::vector<uint8_t> low(n_max * symbols), high(n_max * symbols);
    for (int32_t i = 0; i < n_max * symbols; ++i) {
        low[i] = static_cast<uint8_t>(i % n_max);
        high[i] = static_cast<uint8_t>((i % n_max) >> 8);
    }
    std::vector<uint8_t> low_out(low.size()), high_out(high.size());
    low_interleaver.process(low, low_out);
    high_interleaver.process(high, high_out);
    std::vector<int32_t> source(low.size());  // input cell (within its symbol) of each output cell
    for (size_t i = 0; i < source.size(); ++i) source[i] = low_out[i] | (high_out[i] << 8);
    return source;
}

TEST(SymbolInterleaver, PermutationsStartAndEndAsInTheStandard) {
    const std::vector<int32_t>& h2k = SymbolInterleaver::permutation(kMode2k);
    const std::vector<int32_t>& h8k = SymbolInterleaver::permutation(kMode8k);
    ASSERT_EQ(h2k.size(), 1512u);
    ASSERT_EQ(h8k.size(), 6048u);
    EXPECT_EQ(std::vector<int32_t>(h2k.begin(), h2k.begin() + 12),
              (std::vector<int32_t>{0, 1024, 16, 1025, 128, 1056, 2, 1280, 4, 1088, 513, 1160}));
    EXPECT_EQ(
        std::vector<int32_t>(h8k.begin(), h8k.begin() + 12),
        (std::vector<int32_t>{0, 4096, 128, 4128, 2048, 4104, 1, 5120, 256, 4192, 2560, 4140}));
    EXPECT_EQ(std::vector<int32_t>(h2k.end() - 4, h2k.end()),
              (std::vector<int32_t>{12, 1104, 512, 1032}));
    EXPECT_EQ(std::vector<int32_t>(h8k.end() - 4, h8k.end()),
              (std::vector<int32_t>{534, 4246, 146, 4226}));
}

TEST(SymbolInterleaver, PermutationsAreBijectionsEqualToTheBitwiseConstruction) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        const std::vector<int32_t>& h = SymbolInterleaver::permutation(mode);
        std::vector<int32_t> sorted = h;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int32_t> identity(h.size());
        std::iota(identity.begin(), identity.end(), 0);
        EXPECT_EQ(sorted, identity) << kModeNames[mode];
        std::vector<int> oracle = reference::symbol_permutation(mode);
        EXPECT_TRUE(std::equal(h.begin(), h.end(), oracle.begin(), oracle.end()))
            << kModeNames[mode];
    }
}

TEST(SymbolInterleaver, FirstSymbolScattersSecondGathers) {
    struct Case {
        OfdmMode mode;
        int32_t target_of_1, target_of_2;
    };
    for (Case c : {Case{kMode2k, 1024, 16}, Case{kMode8k, 4096, 128}}) {
        const int32_t n_max = data_carrier_count[c.mode];
        std::vector<int32_t> source = move_tags(c.mode, 67, 2);  // a run's first two symbols
        // Even symbol 0: input cell 1 goes to c.target_of_1, 2 to c.target_of_2.
        EXPECT_EQ(source[c.target_of_1], 1);
        EXPECT_EQ(source[c.target_of_2], 2);
        EXPECT_EQ(source[0], 0);
        // Odd symbol 1: output 1 comes from input c.target_of_1, 2 from c.target_of_2.
        EXPECT_EQ(source[n_max + 1], c.target_of_1);
        EXPECT_EQ(source[n_max + 2], c.target_of_2);
        EXPECT_EQ(source[n_max], 0);
    }
}

TEST(SymbolInterleaver, DirectionFollowsTheFrameSymbolNumberAcrossTheFrameEnd) {
    // From 66: the call's symbols are 67 (odd, gather) and 0 (even, scatter).
    std::vector<int32_t> source = move_tags(kMode2k, 66, 2);
    EXPECT_EQ(source[1], 1024);
    EXPECT_EQ(source[1512 + 1024], 1);
}

TEST(SymbolInterleaver, EvenThenOddGivesBackTheInput) {
    std::mt19937 rng(3);
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        const int32_t n_max = data_carrier_count[mode];
        std::vector<uint8_t> cells(n_max), scattered(n_max), back(n_max);
        for (auto& c : cells) c = static_cast<uint8_t>(rng() & 63);
        SymbolInterleaver interleaver(mode, 10);  // symbol 10, even, then 11, odd
        interleaver.process(cells, scattered);
        EXPECT_EQ(interleaver.next_symbol_index(), 11);
        interleaver.process(scattered, back);
        EXPECT_NE(scattered, cells);
        EXPECT_EQ(back, cells) << kModeNames[mode];
    }
}

TEST(SymbolInterleaver, MatchesTheOracleOverManySymbolsAndCounterValues) {
    std::mt19937 rng(21);
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        const int32_t n_max = data_carrier_count[mode];
        for (int32_t last_symbol : {67, 0, 33, 64}) {
            const int32_t symbols = 7;
            std::vector<uint8_t> cells(n_max * symbols), out(cells.size());
            for (auto& c : cells) c = static_cast<uint8_t>(rng() & 63);
            SymbolInterleaver interleaver(mode, (last_symbol + 1) % 68);
            interleaver.process(cells, out);
            EXPECT_EQ(out, reference::symbol_interleave(mode, last_symbol, cells))
                << kModeNames[mode] << " after symbol " << last_symbol;
            EXPECT_EQ(interleaver.next_symbol_index(), (last_symbol + 1 + symbols) % 68);
        }
    }
}

TEST(SymbolInterleaver, EmptyCallWritesNothing) {
    SymbolInterleaver interleaver(kMode8k);
    uint8_t untouched = 0xAA;
    interleaver.process({}, std::span(&untouched, 1));
    EXPECT_EQ(untouched, 0xAA);
    EXPECT_EQ(interleaver.next_symbol_index(), 0);
}

TEST(SymbolInterleaver, RejectsAnUnknownMode) {
    EXPECT_THROW(SymbolInterleaver(static_cast<OfdmMode>(2)), std::invalid_argument);
}

}  // namespace
}  // namespace terramod
