#include "ofdm/ifft.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "tests/ofdm/reference_ifft.h"

namespace terramod {
namespace {

uint32_t bits(float value) {
    return std::bit_cast<uint32_t>(value);
}

// Cells like the frame builder's: constellation points, boosted pilots, some
// exact zeros (signed zeros included) and arbitrary values.
std::vector<ComplexSample> random_cells(OfdmMode mode, int symbols, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> any(-1.5f, 1.5f);
    const float levels[] = {0.0f,        -0.0f,        1.0f,        -1.0f,
                            4.0f / 3.0f, -4.0f / 3.0f, 0.70710678f, -0.70710678f,
                            0.15430335f, -0.46291005f, 0.77151675f, -1.0801234f};
    std::vector<ComplexSample> cells(static_cast<size_t>(carrier_count[mode]) * symbols);
    for (ComplexSample& cell : cells) {
        if (generator() % 4 == 0) {
            cell = {any(generator), any(generator)};
        } else {
            cell = {levels[generator() % 12], levels[generator() % 12]};
        }
    }
    return cells;
}

DvbtSettings make_config(OfdmMode mode, GuardInterval guard, FrequencyMapping mapping) {
    DvbtSettings config;
    config.mode = mode;
    config.guard_interval = guard;
    config.frequency_mapping = mapping;
    return config;
}

std::vector<ComplexSample> run(const DvbtSettings& config,
                               const std::vector<ComplexSample>& cells) {
    Ifft ifft(config.mode, config.guard_interval, config.frequency_mapping);
    const int symbols = static_cast<int>(cells.size()) / carrier_count[config.mode];
    std::vector<ComplexSample> out(
        static_cast<size_t>(fft_size[config.mode] + ifft.guard_length()) * symbols,
        ComplexSample{-7.0f, -7.0f});
    ifft.process(cells, out);
    return out;
}

bool same_bits(const ComplexSample& x, const ComplexSample& y) {
    return bits(x.re) == bits(y.re) && bits(x.im) == bits(y.im);
}

TEST(IfftTest, SeedBitPatterns) {
    const uint32_t expected[4][5] = {{0xBF800000, 0x33BBBD2E, 0x3F800000, 0xB43BBD2E, 0xC0000000},
                                     {0x3F3504F3, 0xBF3504F3, 0xB33BBD2E, 0xBF800000, 0x3FB504F3},
                                     {0x3F7FFFB1, 0xBB490FC6, 0x3F7FFEC4, 0xBBC90F88, 0x3FFFFFB1},
                                     {0x3F7FFFFB, 0xBA490FDA, 0x3F7FFFEC, 0xBAC90FD6, 0x3FFFFFFB}};
    const int stage[4] = {1, 3, 11, 13};
    Ifft ifft(kMode8k, kGuard1_32, kZeroIf);
    ASSERT_EQ(ifft.seeds().size(), 13u);
    for (int row = 0; row < 4; ++row) {
        const TwiddleSeeds& seed = ifft.seeds()[stage[row] - 1];
        SCOPED_TRACE(stage[row]);
        EXPECT_EQ(bits(seed.cos1), expected[row][0]);
        EXPECT_EQ(bits(seed.sin1), expected[row][1]);
        EXPECT_EQ(bits(seed.cos2), expected[row][2]);
        EXPECT_EQ(bits(seed.sin2), expected[row][3]);
        EXPECT_EQ(bits(seed.twice_cos), expected[row][4]);
    }
    Ifft ifft_2k(kMode2k, kGuard1_32, kZeroIf);
    ASSERT_EQ(ifft_2k.seeds().size(), 11u);
    EXPECT_EQ(bits(ifft_2k.seeds()[10].twice_cos), 0x3FFFFFB1u);
}

TEST(IfftTest, GuardLengths) {
    const int32_t expected[2][4] = {{512, 256, 128, 64}, {2048, 1024, 512, 256}};
    for (int mode = 0; mode < 2; ++mode) {
        for (int guard = 0; guard < 4; ++guard) {
            Ifft ifft(static_cast<OfdmMode>(mode), static_cast<GuardInterval>(guard), kZeroIf);
            EXPECT_EQ(ifft.guard_length(), expected[mode][guard]);
        }
    }
}

// The product version against the literal oracle, bit for bit, for every
// mode, guard and mapping, several symbols per call; the input is untouched.
TEST(IfftTest, MatchesLiteralReferenceBitForBit) {
    uint32_t seed = 1;
    for (int mode = 0; mode < 2; ++mode) {
        for (int guard = 0; guard < 4; ++guard) {
            for (int mapping = 0; mapping < 2; ++mapping) {
                const DvbtSettings config =
                    make_config(static_cast<OfdmMode>(mode), static_cast<GuardInterval>(guard),
                                static_cast<FrequencyMapping>(mapping));
                SCOPED_TRACE(testing::Message() << mode << " " << guard << " " << mapping);
                const auto cells = random_cells(config.mode, 3, seed++);
                const auto copy = cells;
                const auto expected = reference_ifft_and_guard(config, cells);
                const auto actual = run(config, cells);
                ASSERT_EQ(actual.size(), expected.size());
                size_t mismatches = 0;
                for (size_t i = 0; i < actual.size(); ++i) {
                    mismatches += !same_bits(actual[i], expected[i]);
                }
                EXPECT_EQ(mismatches, 0u);
                for (size_t i = 0; i < cells.size(); ++i) ASSERT_TRUE(same_bits(cells[i], copy[i]));
            }
        }
    }
}

// Many symbols of cells spread over a wide range of magnitudes, so that the
// roundings land everywhere: still bit for bit the literal transform.
TEST(IfftTest, WideRangeCellsMatchLiteralReference) {
    std::mt19937 generator(99);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-24, 24);
    for (int mode = 0; mode < 2; ++mode) {
        const int symbols = mode == 0 ? 40 : 10;
        std::vector<ComplexSample> cells(static_cast<size_t>(carrier_count[mode]) * symbols);
        for (ComplexSample& cell : cells) {
            cell = {std::ldexp(mantissa(generator), exponent(generator)),
                    std::ldexp(mantissa(generator), exponent(generator))};
        }
        for (int mapping = 0; mapping < 2; ++mapping) {
            const DvbtSettings config = make_config(static_cast<OfdmMode>(mode), kGuard1_8,
                                                    static_cast<FrequencyMapping>(mapping));
            const auto expected = reference_ifft_and_guard(config, cells);
            const auto actual = run(config, cells);
            size_t mismatches = 0;
            for (size_t i = 0; i < actual.size(); ++i) {
                mismatches += !same_bits(actual[i], expected[i]);
            }
            EXPECT_EQ(mismatches, 0u) << mode << " " << mapping;
        }
    }
}

TEST(IfftTest, AllZeroSymbolGivesZeros) {
    for (int mode = 0; mode < 2; ++mode) {
        for (int mapping = 0; mapping < 2; ++mapping) {
            const DvbtSettings config = make_config(static_cast<OfdmMode>(mode), kGuard1_4,
                                                    static_cast<FrequencyMapping>(mapping));
            std::vector<ComplexSample> cells(carrier_count[mode], ComplexSample{0.0f, 0.0f});
            const auto out = run(config, cells);
            ASSERT_EQ(out.size(), static_cast<size_t>(fft_size[mode] * 5 / 4));
            for (const ComplexSample& sample : out) {
                ASSERT_EQ(sample.re, 0.0f);
                ASSERT_EQ(sample.im, 0.0f);
            }
        }
    }
}

TEST(IfftTest, CentreCarrierAloneIsConstantOrAlternating) {
    for (int mode = 0; mode < 2; ++mode) {
        const int32_t carriers = carrier_count[mode];
        std::vector<ComplexSample> cells(carriers, ComplexSample{0.0f, 0.0f});
        cells[(carriers - 1) / 2] = {1.0f, 0.0f};
        const auto zero_if =
            run(make_config(static_cast<OfdmMode>(mode), kGuard1_8, kZeroIf), cells);
        for (size_t i = 0; i < zero_if.size(); ++i) {
            ASSERT_EQ(zero_if[i].re, 1.0f) << i;
            ASSERT_EQ(zero_if[i].im, 0.0f) << i;
        }
        const auto bb_if =
            run(make_config(static_cast<OfdmMode>(mode), kGuard1_8, kBasebandIf), cells);
        for (size_t i = 0; i < bb_if.size(); ++i) {
            ASSERT_EQ(bb_if[i].re, i % 2 == 0 ? 1.0f : -1.0f) << i;
            ASSERT_EQ(bb_if[i].im, 0.0f) << i;
        }
    }
}

TEST(IfftTest, BasebandIfIsZeroIfWithOddSamplesNegated) {
    for (int mode = 0; mode < 2; ++mode) {
        for (int guard = 0; guard < 4; ++guard) {
            const auto cells = random_cells(static_cast<OfdmMode>(mode), 2, 100 + guard);
            const auto zero_if = run(make_config(static_cast<OfdmMode>(mode),
                                                 static_cast<GuardInterval>(guard), kZeroIf),
                                     cells);
            const auto bb_if = run(make_config(static_cast<OfdmMode>(mode),
                                               static_cast<GuardInterval>(guard), kBasebandIf),
                                   cells);
            const size_t block = zero_if.size() / 2;
            for (size_t i = 0; i < zero_if.size(); ++i) {
                ComplexSample expected = zero_if[i];
                if ((i % block) % 2 == 1) expected = {-expected.re, -expected.im};
                ASSERT_TRUE(same_bits(bb_if[i], expected)) << mode << " " << guard << " " << i;
            }
        }
    }
}

TEST(IfftTest, PrefixIsCopyOfSymbolEnd) {
    for (int mode = 0; mode < 2; ++mode) {
        for (int guard = 0; guard < 4; ++guard) {
            const DvbtSettings config = make_config(static_cast<OfdmMode>(mode),
                                                    static_cast<GuardInterval>(guard), kBasebandIf);
            const auto out = run(config, random_cells(config.mode, 2, 200 + guard));
            const int n = fft_size[mode];
            const int g = static_cast<int>(n * guard_fraction[guard]);
            for (int q = 0; q < 2; ++q) {
                const ComplexSample* block = out.data() + static_cast<size_t>(q) * (n + g);
                for (int i = 0; i < g; ++i) ASSERT_TRUE(same_bits(block[i], block[n + i]));
            }
        }
    }
    const DvbtSettings config_8k = make_config(kMode8k, kGuard1_4, kZeroIf);
    EXPECT_EQ(run(config_8k, random_cells(kMode8k, 1, 5)).size(), 10240u);
    const DvbtSettings config_2k = make_config(kMode2k, kGuard1_32, kZeroIf);
    EXPECT_EQ(run(config_2k, random_cells(kMode2k, 1, 5)).size(), 2112u);
}

// Accuracy of the transform. The recurrence factor twice_cos is a float, so the
// twiddles drift from e^(i j theta) as j grows: the largest twiddle error is
// about 1e-3 in 2k and 2.7e-2 in 8k (the magnitude stays within 3e-4 and 7e-3
// of 1). The tolerances below are those of the defined arithmetic, not of an
// exact transform.
constexpr double kExponentialTolerance[2] = {2e-3, 6e-2};
constexpr double kParsevalTolerance[2] = {1e-3, 2e-2};

// Carrier k alone: a complex exponential of (k - kc) / N cycles per sample,
// prefix included (prefix sample i is time index i - G).
TEST(IfftTest, SingleCarrierIsComplexExponential) {
    for (int mode = 0; mode < 2; ++mode) {
        const int n = fft_size[mode];
        const int carriers = carrier_count[mode];
        for (int k : {0, 1, 100, carriers / 2 + 7, carriers - 1}) {
            std::vector<ComplexSample> cells(carriers, ComplexSample{0.0f, 0.0f});
            cells[k] = {0.6f, -0.8f};
            const DvbtSettings config =
                make_config(static_cast<OfdmMode>(mode), kGuard1_16, kZeroIf);
            const auto out = run(config, cells);
            const int g = n / 16;
            const int offset = k - (carriers - 1) / 2;
            double worst = 0.0;
            for (int i = 0; i < n + g; ++i) {
                const long long t = i - g;
                const double phase =
                    2.0 * std::numbers::pi * static_cast<double>(((offset * t) % n + n) % n) / n;
                const std::complex<double> expected =
                    std::complex<double>(0.6, -0.8) * std::polar(1.0, phase);
                worst = std::max(worst,
                                 std::abs(std::complex<double>(out[i].re, out[i].im) - expected));
            }
            EXPECT_LT(worst, kExponentialTolerance[mode]) << mode << " " << k;
        }
    }
}

TEST(IfftTest, ParsevalMeanSamplePowerEqualsCellPower) {
    for (int mode = 0; mode < 2; ++mode) {
        for (int mapping = 0; mapping < 2; ++mapping) {
            const DvbtSettings config = make_config(static_cast<OfdmMode>(mode), kGuard1_32,
                                                    static_cast<FrequencyMapping>(mapping));
            const auto cells = random_cells(config.mode, 1, 300 + mode);
            const auto out = run(config, cells);
            double cell_power = 0.0, sample_power = 0.0;
            for (const ComplexSample& c : cells)
                cell_power += double{c.re} * c.re + double{c.im} * c.im;
            const int n = fft_size[mode];
            for (int i = 0; i < n; ++i) {
                const ComplexSample& x = out[out.size() - n + i];
                sample_power += double{x.re} * x.re + double{x.im} * x.im;
            }
            EXPECT_NEAR(sample_power / n, cell_power, cell_power * kParsevalTolerance[mode]);
        }
    }
}

}  // namespace
}  // namespace terramod
