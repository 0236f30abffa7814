#include "ofdm/frame_builder.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/ofdm/reference_frame_builder.h"

namespace terramod {
namespace {

constexpr uint32_t kPlusPilot = 0x3FAAAAAB;
constexpr uint32_t kMinusPilot = 0xBFAAAAAB;
constexpr uint32_t kPlusOne = 0x3F800000;
constexpr uint32_t kMinusOne = 0xBF800000;

uint32_t bits_of(float value) {
    return std::bit_cast<uint32_t>(value);
}

DvbtSettings config_for(OfdmMode mode) {
    DvbtSettings config;
    config.mode = mode;
    return config;
}

// Input cells that name themselves: cell i is (i + 0.25, -(i + 0.5)), exact in
// float for the sizes used here, never equal to a pilot or TPS value.
std::vector<ComplexSample> numbered_cells(int32_t count) {
    std::vector<ComplexSample> cells(count);
    for (int32_t i = 0; i < count; ++i) {
        cells[i] = {static_cast<float>(i) + 0.25f, -(static_cast<float>(i) + 0.5f)};
    }
    return cells;
}

std::vector<ComplexSample> random_cells(int32_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.5f, 1.5f);
    std::vector<ComplexSample> cells(count);
    for (auto& cell : cells) cell = {value(random), value(random)};
    return cells;
}

void expect_same_cells(const std::vector<ComplexSample>& actual,
                       const std::vector<ComplexSample>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(bits_of(actual[i].re), bits_of(expected[i].re)) << "cell " << i;
        ASSERT_EQ(bits_of(actual[i].im), bits_of(expected[i].im)) << "cell " << i;
    }
}

// Builds `symbols` symbols in cycles of `cycle` symbols from the given input.
std::vector<ComplexSample> build_in_cycles(OfdmMode mode, const std::vector<ComplexSample>& input,
                                           int32_t cycle, SymbolPosition& counters) {
    FrameBuilder builder(config_for(mode));
    const int32_t data = data_carrier_count[mode];
    const int32_t symbols = static_cast<int32_t>(input.size()) / data;
    std::vector<ComplexSample> output(static_cast<size_t>(symbols) * carrier_count[mode]);
    for (int32_t first = 0; first < symbols; first += cycle) {
        const int32_t n = std::min(cycle, symbols - first);
        builder.process(std::span(input.data() + static_cast<size_t>(first) * data, n * data),
                        std::span(output.data() + static_cast<size_t>(first) * carrier_count[mode],
                                  n * carrier_count[mode]));
    }
    counters = builder.last_symbol();
    return output;
}

TEST(FrameBuilderTables, ContinualPilotCarriers) {
    const auto& table = FrameBuilder::continual_pilot_carriers();
    const std::vector<int32_t> list_2k = {
        0,   48,   54,   87,   141,  156,  192,  201,  255,  279,  282,  333,  432,  450,  483,
        525, 531,  618,  636,  714,  759,  765,  780,  804,  873,  888,  918,  939,  942,  969,
        984, 1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704};
    ASSERT_EQ(list_2k.size(), 45u);
    EXPECT_TRUE(std::equal(list_2k.begin(), list_2k.end(), table.begin()));
    EXPECT_GT(table[45], 1704);
    std::set<int32_t> repeated;
    for (int32_t offset : {0, 1704, 3408, 5112})
        for (int32_t k : list_2k) repeated.insert(k + offset);
    EXPECT_EQ(std::vector<int32_t>(table.begin(), table.end()),
              std::vector<int32_t>(repeated.begin(), repeated.end()));
    EXPECT_EQ(table[174], 6603);
    EXPECT_EQ(table[175], 6795);
    EXPECT_EQ(table[176], 6816);
    for (int32_t k : table) EXPECT_EQ(k % 3, 0) << k;
}

TEST(FrameBuilderTables, TpsCarriers) {
    const auto& table = FrameBuilder::tps_carriers();
    const std::vector<int32_t> list_2k = {34,  50,   209,  346,  413,  569,  595,  688, 790,
                                          901, 1073, 1219, 1262, 1286, 1469, 1594, 1687};
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i], list_2k[i % 17] + 1704 * static_cast<int32_t>(i / 17)) << i;
        EXPECT_NE(table[i] % 3, 0) << table[i];
    }
    EXPECT_EQ(table[65], 6581);
    EXPECT_EQ(table[66], 6706);
    EXPECT_EQ(table[67], 6799);
}

TEST(FrameBuilderTables, PilotReferenceSequence) {
    const auto& w = FrameBuilder::pilot_reference();
    std::string first;
    for (int k = 0; k < 32; ++k) first += static_cast<char>('0' + w[k]);
    EXPECT_EQ(first, "11111111111000000000110000000111");
    // The recurrence of x^11 + x^2 + 1 holds over the whole sequence.
    for (int k = 0; k + 11 < 6817; ++k) ASSERT_EQ(w[k + 11], w[k] ^ w[k + 2]) << k;
    EXPECT_EQ(w[1704], 1);
    EXPECT_EQ(w[6816], 1);
}

// Frame counters: symbol 67 wraps to 0 of the next frame, frame 3 to frame 0
// of the next superframe; the TPS word is rebuilt at each frame start.
TEST(FrameBuilder, AdvancesFrameCountersAcrossBoundaries) {
    FrameBuilder builder(config_for(kMode2k));
    const SymbolPosition& counters = builder.last_symbol();
    const auto input = numbered_cells(1512);
    std::vector<ComplexSample> output(1705);
    for (int32_t symbol = 0; symbol < 68 * 9 + 3; ++symbol) {
        builder.process(std::span(input.data(), 1512), output);
        ASSERT_EQ(counters.frame_symbol_index, symbol % 68);
        ASSERT_EQ(counters.frame_index, (symbol / 68) % 4);
        ASSERT_EQ(counters.superframe_index, symbol / (68 * 4));
        const auto& word = builder.tps_word().tps_bits();
        ASSERT_EQ(word[23] * 2 + word[24], counters.frame_index);
    }
    EXPECT_EQ(counters.superframe_index, 2);
}

// 2k, l = 0 and l = 1 layouts at their first carriers; pilots and TPS cells as
// float bit patterns with +0.0 imaginary parts.
TEST(FrameBuilder, FirstSymbolsOf2kRun) {
    FrameBuilder builder(config_for(kMode2k));
    const auto input = numbered_cells(2 * 1512);
    std::vector<ComplexSample> output(2 * 1705);
    builder.process(std::span(input.data(), 2 * 1512), output);

    const ComplexSample* symbol0 = output.data();
    EXPECT_EQ(bits_of(symbol0[0].re), kMinusPilot);
    EXPECT_EQ(bits_of(symbol0[0].im), 0u);
    for (int k = 1; k <= 11; ++k) EXPECT_EQ(symbol0[k].re, input[k - 1].re) << k;
    EXPECT_EQ(bits_of(symbol0[12].re), kPlusPilot);
    EXPECT_EQ(bits_of(symbol0[34].re), kPlusOne);
    EXPECT_EQ(bits_of(symbol0[34].im), 0u);
    EXPECT_EQ(bits_of(symbol0[50].re), kMinusOne);
    EXPECT_EQ(bits_of(symbol0[1704].re), kMinusPilot);

    const ComplexSample* symbol1 = output.data() + 1705;
    const ComplexSample* data1 = input.data() + 1512;
    EXPECT_EQ(bits_of(symbol1[0].re), kMinusPilot);
    EXPECT_EQ(symbol1[1].re, data1[0].re);
    EXPECT_EQ(symbol1[2].im, data1[1].im);
    EXPECT_EQ(bits_of(symbol1[3].re), kMinusPilot);
    for (int k = 4; k <= 14; ++k) EXPECT_EQ(symbol1[k].re, data1[k - 2].re) << k;
    EXPECT_EQ(bits_of(symbol1[15].re), kPlusPilot);
    EXPECT_EQ(bits_of(symbol1[1704].re), kMinusPilot);
}

// Per symbol: pilot counts (scattered and shared with continual), TPS and
// data counts, every data cell the next input cell in order.
TEST(FrameBuilder, CellCountsAndDataOrderPerSymbol) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        SCOPED_TRACE(kModeNames[mode]);
        const int32_t carriers = carrier_count[mode];
        const int32_t data = data_carrier_count[mode];
        const int32_t symbols = 8;
        FrameBuilder builder(config_for(mode));
        const auto input = numbered_cells(symbols * data);
        std::vector<ComplexSample> output(static_cast<size_t>(symbols) * carriers);
        builder.process(std::span(input.data(), symbols * data), output);

        const auto& continual = FrameBuilder::continual_pilot_carriers();
        const std::set<int32_t> continual_set(continual.begin(),
                                              continual.begin() + continual_pilot_count[mode]);
        const auto& tps = FrameBuilder::tps_carriers();
        const std::set<int32_t> tps_set(tps.begin(), tps.begin() + tps_carrier_count[mode]);
        const auto& w = FrameBuilder::pilot_reference();
        int32_t next_input = 0;
        for (int32_t l = 0; l < symbols; ++l) {
            const ComplexSample* cells = output.data() + static_cast<size_t>(l) * carriers;
            int32_t scattered = 0, shared = 0, pilots = 0, tps_cells = 0, data_cells = 0;
            for (int32_t k = 0; k < carriers; ++k) {
                const bool is_scattered = k % 12 == 3 * (l % 4);
                const bool is_continual = continual_set.count(k) > 0;
                scattered += is_scattered;
                shared += is_scattered && is_continual;
                if (is_scattered || is_continual) {
                    ++pilots;
                    ASSERT_EQ(bits_of(cells[k].re), w[k] ? kMinusPilot : kPlusPilot) << k;
                    ASSERT_EQ(bits_of(cells[k].im), 0u);
                } else if (tps_set.count(k)) {
                    ++tps_cells;
                    ASSERT_TRUE(bits_of(cells[k].re) == kPlusOne ||
                                bits_of(cells[k].re) == kMinusOne);
                    ASSERT_EQ(bits_of(cells[k].im), 0u);
                } else {
                    ++data_cells;
                    ASSERT_EQ(bits_of(cells[k].re), bits_of(input[next_input].re)) << k;
                    ASSERT_EQ(bits_of(cells[k].im), bits_of(input[next_input].im)) << k;
                    ++next_input;
                }
            }
            const bool first_phase = l % 4 == 0;
            if (mode == kMode2k) {
                EXPECT_EQ(scattered, first_phase ? 143 : 142);
                EXPECT_EQ(shared, first_phase ? 12 : 11);
            } else {
                EXPECT_EQ(scattered, first_phase ? 569 : 568);
                EXPECT_EQ(shared, first_phase ? 45 : 44);
            }
            EXPECT_EQ(pilots, scattered + continual_pilot_count[mode] - shared);
            EXPECT_EQ(tps_cells, tps_carrier_count[mode]);
            EXPECT_EQ(data_cells, data);
        }
        EXPECT_EQ(next_input, symbols * data);
    }
}

// DBPSK: symbol 0 sends 2(1/2 - w_k); symbol l repeats the previous value
// for s_l = 0 and inverts it for s_l = 1, over several frames.
TEST(FrameBuilder, TpsCellsFollowTheDifferentialRule) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        SCOPED_TRACE(kModeNames[mode]);
        DvbtSettings config = config_for(mode);
        config.constellation = kQam16;
        config.code_rate = kRate2_3;
        const int32_t carriers = carrier_count[mode];
        const int32_t data = data_carrier_count[mode];
        FrameBuilder builder(config);
        const SymbolPosition& counters = builder.last_symbol();
        TpsWord expected_word(config);
        const auto input = numbered_cells(data);
        std::vector<ComplexSample> previous(carriers), current(carriers);
        const auto& tps = FrameBuilder::tps_carriers();
        const auto& w = FrameBuilder::pilot_reference();
        for (int32_t symbol = 0; symbol < 68 * 5; ++symbol) {
            builder.process(std::span(input.data(), data), current);
            const int32_t l = counters.frame_symbol_index;
            if (l == 0) expected_word.build_tps_word(counters.frame_index);
            for (int32_t t = 0; t < tps_carrier_count[mode]; ++t) {
                const int32_t k = tps[t];
                const float expected = l == 0                        ? (w[k] ? -1.0f : 1.0f)
                                       : expected_word.tps_bits()[l] ? -previous[k].re
                                                                     : previous[k].re;
                ASSERT_EQ(bits_of(current[k].re), bits_of(expected)) << symbol << " " << k;
                ASSERT_EQ(bits_of(builder.tps_carrier_state()[t]), bits_of(expected));
            }
            std::swap(previous, current);
        }
    }
}

// The table-driven builder equals the literal carrier-by-carrier algorithm.
TEST(FrameBuilder, AgreesWithReferenceAlgorithm) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        SCOPED_TRACE(kModeNames[mode]);
        DvbtSettings config = config_for(mode);
        config.constellation = kQam64;
        config.hierarchy = kAlpha2;
        config.guard_interval = kGuard1_8;
        const int32_t symbols = 68 * 4 + 29;
        const auto input = random_cells(symbols * data_carrier_count[mode], 17 + mode);
        std::vector<ComplexSample> expected(static_cast<size_t>(symbols) * carrier_count[mode]);
        ReferenceFrameBuilder reference(config);
        reference.add_pilots_and_tps(input.data(), expected.data(),
                                     static_cast<int32_t>(input.size()));

        FrameBuilder builder(config);
        const SymbolPosition& counters = builder.last_symbol();
        std::vector<ComplexSample> actual(expected.size());
        builder.process(std::span(input.data(), input.size()), actual);
        expect_same_cells(actual, expected);
        EXPECT_EQ(counters.frame_symbol_index, reference.counters.frame_symbol_index);
        EXPECT_EQ(counters.frame_index, reference.counters.frame_index);
        EXPECT_EQ(counters.superframe_index, reference.counters.superframe_index);
        EXPECT_EQ(builder.tps_carrier_state(), reference.tps_state);
    }
}

// Mapping while framing: the cells the literal algorithm builds from the
// points the indices select (indices beyond the table wrap by the mask),
// symbol by symbol across frame and superframe boundaries.
TEST(FrameBuilder, MappedSymbolsAgreeWithReferenceAlgorithm) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        for (const int32_t point_count : {4, 16, 64}) {
            SCOPED_TRACE(std::string(kModeNames[mode]) + " " + std::to_string(point_count));
            const DvbtSettings config = config_for(mode);
            const int32_t data_cells = data_carrier_count[mode];
            const int32_t symbols = 68 * 4 + 3;
            const auto points = random_cells(point_count, 3 + point_count);
            std::mt19937 random(11 + mode);
            std::vector<uint8_t> indices(static_cast<size_t>(symbols) * data_cells);
            for (uint8_t& index : indices) index = static_cast<uint8_t>(random());
            std::vector<ComplexSample> mapped(indices.size());
            for (size_t i = 0; i < indices.size(); ++i)
                mapped[i] = points[indices[i] % point_count];
            std::vector<ComplexSample> expected(static_cast<size_t>(symbols) * carrier_count[mode]);
            ReferenceFrameBuilder reference(config);
            reference.add_pilots_and_tps(mapped.data(), expected.data(),
                                         static_cast<int32_t>(mapped.size()));

            FrameBuilder builder(config);
            std::vector<ComplexSample> actual(expected.size());
            for (int32_t q = 0; q < symbols; ++q)
                builder.process_mapped(
                    std::span(indices).subspan(static_cast<size_t>(q) * data_cells, data_cells),
                    points,
                    std::span(actual).subspan(static_cast<size_t>(q) * carrier_count[mode],
                                              carrier_count[mode]));
            expect_same_cells(actual, expected);
            EXPECT_EQ(builder.last_symbol().superframe_index, reference.counters.superframe_index);
            EXPECT_EQ(builder.last_symbol().frame_symbol_index,
                      reference.counters.frame_symbol_index);
            EXPECT_EQ(builder.tps_carrier_state(), reference.tps_state);
        }
    }
}

// Cycle boundaries inside and across frames change nothing.
TEST(FrameBuilder, CycleSizeDoesNotChangeTheCells) {
    for (OfdmMode mode : {kMode2k, kMode8k}) {
        SCOPED_TRACE(kModeNames[mode]);
        const int32_t symbols = 2 * 50;
        const auto input = random_cells(symbols * data_carrier_count[mode], 5);
        SymbolPosition whole_counters;
        const auto whole = build_in_cycles(mode, input, symbols, whole_counters);
        for (int32_t cycle : {50, 7, 1}) {
            SCOPED_TRACE(cycle);
            SymbolPosition counters;
            expect_same_cells(build_in_cycles(mode, input, cycle, counters), whole);
            EXPECT_EQ(counters.frame_symbol_index, whole_counters.frame_symbol_index);
            EXPECT_EQ(counters.frame_index, whole_counters.frame_index);
            EXPECT_EQ(counters.superframe_index, whole_counters.superframe_index);
        }
    }
}

// Outside the driver's sizing a trailing part-symbol is neither read nor built.
TEST(FrameBuilder, IgnoresTrailingPartSymbol) {
    FrameBuilder builder(config_for(kMode2k));
    const SymbolPosition& counters = builder.last_symbol();
    const auto input = numbered_cells(1512 + 100);
    std::vector<ComplexSample> output(2 * 1705, ComplexSample{7.0f, 7.0f});
    builder.process(std::span(input.data(), 1512 + 100), output);
    EXPECT_EQ(counters.frame_symbol_index, 0);
    EXPECT_EQ(output[1705].re, 7.0f);
    builder.process(std::span(input.data(), 0), output);
    EXPECT_EQ(counters.frame_symbol_index, 0);
}

}  // namespace
}  // namespace terramod
