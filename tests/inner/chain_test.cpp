// The four inner stages chained as the cycle loop runs them, for every
// setting, against the bit-by-bit oracles: the v, p, b, s and m dump
// contents over several cycles.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"
#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

struct Setting {
    OfdmMode mode;
    Constellation constellation;
    Hierarchy hierarchy;
    CodeRate rate;
};

// Cycle sizes as the driver's sizing gives them: punctured bits fill whole
// OFDM symbols and the encoder input is whole bytes.
struct Sizes {
    int32_t rs_bytes, coded_bits, punctured_bits, cells;
};
Sizes sizes_for(const Setting& s, int32_t symbols) {
    static const int32_t kNumerator[] = {1, 2, 3, 5, 7};
    static const int32_t kDenominator[] = {2, 3, 4, 6, 8};
    Sizes z{};
    z.cells = data_carrier_count[s.mode] * symbols;
    z.punctured_bits = z.cells * bits_per_cell[s.constellation];
    z.rs_bytes = z.punctured_bits * kNumerator[s.rate] / kDenominator[s.rate] / 8;
    z.coded_bits = 16 * z.rs_bytes;
    return z;
}

void run_chain(const Setting& s) {
    // Four symbols per cycle is a whole number of bytes at every rate; three
    // cycles cross a frame boundary when started near its end.
    const int32_t symbols = 4;
    const int cycles = 3;
    Sizes z = sizes_for(s, symbols);

    int32_t last_symbol = 62;  // the symbol before the first of the run
    ConvEncoder encoder;
    Puncturer puncturer(s.rate);
    BitInterleaver bit_interleaver(s.constellation);
    SymbolInterleaver symbol_interleaver(s.mode, last_symbol + 1);
    Mapper mapper(s.constellation, s.hierarchy);
    encoder.reset();
    puncturer.reset();

    std::vector<uint8_t> input(z.rs_bytes), coded(z.coded_bits), punctured(z.punctured_bits);
    std::vector<uint8_t> bit_interleaved(z.cells), symbol_interleaved(z.cells);
    std::vector<ComplexSample> mapped(z.cells);

    reference::Encoder ref_encoder;
    reference::Puncturer ref_puncturer{s.rate};
    std::mt19937 rng(s.mode * 1000 + s.constellation * 100 + s.hierarchy * 10 + s.rate);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        for (auto& b : input) b = static_cast<uint8_t>(rng());
        encoder.process(input, coded);
        int32_t written = puncturer.process(coded, punctured);
        ASSERT_EQ(written, z.punctured_bits);
        bit_interleaver.process(punctured, bit_interleaved);
        symbol_interleaver.process(bit_interleaved, symbol_interleaved);
        mapper.process(symbol_interleaved, mapped);

        std::vector<uint8_t> ref_coded = ref_encoder.encode(input);
        std::vector<uint8_t> ref_punctured = ref_puncturer.puncture(ref_coded);
        std::vector<uint8_t> ref_bits = reference::bit_interleave(s.constellation, ref_punctured);
        std::vector<uint8_t> ref_symbols =
            reference::symbol_interleave(s.mode, last_symbol, ref_bits);
        ASSERT_EQ(coded, ref_coded) << "cycle " << cycle;
        ASSERT_EQ(punctured, ref_punctured) << "cycle " << cycle;
        ASSERT_EQ(bit_interleaved, ref_bits) << "cycle " << cycle;
        ASSERT_EQ(symbol_interleaved, ref_symbols) << "cycle " << cycle;
        for (int32_t i = 0; i < z.cells; ++i) {
            reference::ExactPoint exact =
                reference::exact_point(s.constellation, s.hierarchy, ref_symbols[i]);
            ASSERT_EQ(std::bit_cast<uint32_t>(mapped[i].re),
                      std::bit_cast<uint32_t>(static_cast<float>(exact.re)))
                << "cycle " << cycle << " cell " << i;
            ASSERT_EQ(std::bit_cast<uint32_t>(mapped[i].im),
                      std::bit_cast<uint32_t>(static_cast<float>(exact.im)))
                << "cycle " << cycle << " cell " << i;
        }
        last_symbol = (last_symbol + symbols) % 68;
    }
}

TEST(InnerChain, EverySettingMatchesTheBitwiseOraclesOverSeveralCycles) {
    for (OfdmMode mode : {kMode2k, kMode8k})
        for (Constellation c : {kQpsk, kQam16, kQam64})
            for (Hierarchy h : {kNonHierarchical, kAlpha1, kAlpha2, kAlpha4})
                for (CodeRate r : {kRate1_2, kRate2_3, kRate3_4, kRate5_6, kRate7_8}) {
                    SCOPED_TRACE(std::string(kModeNames[mode]) + " " + kConstellationNames[c] +
                                 " " + kHierarchyNames[h] + " " + kCodeRateNames[r]);
                    run_chain({mode, c, h, r});
                    if (HasFatalFailure()) return;
                }
}

}  // namespace
}  // namespace terramod
