// Every kernel set this machine runs against the literal oracles: the
// transform and the interpolator must give the same bits on every path.
#include "ofdm/simd_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "ofdm/dac_output.h"
#include "ofdm/ifft.h"
#include "tests/ofdm/reference_ifft.h"
#include "tests/ofdm/reference_interpolator.h"

namespace terramod {
namespace {

size_t mismatches(const std::vector<ComplexSample>& x, const std::vector<ComplexSample>& y) {
    if (x.size() != y.size()) return std::max(x.size(), y.size());
    size_t count = 0;
    for (size_t i = 0; i < x.size(); ++i)
        count += std::bit_cast<uint64_t>(x[i]) != std::bit_cast<uint64_t>(y[i]);
    return count;
}

// Cells of magnitudes from 2^-24 to 2^24 with signed zeros among them, so that
// the roundings land everywhere.
std::vector<ComplexSample> wide_range_cells(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-24, 24);
    std::vector<ComplexSample> cells(count);
    for (ComplexSample& cell : cells) {
        cell = {std::ldexp(mantissa(generator), exponent(generator)),
                std::ldexp(mantissa(generator), exponent(generator))};
        if (generator() % 16 == 0) cell.re = generator() % 2 ? 0.0f : -0.0f;
    }
    return cells;
}

std::vector<ComplexSample> transform(const SimdKernels& kernels, const DvbtSettings& config,
                                     const std::vector<ComplexSample>& cells) {
    Ifft ifft(config.mode, config.guard_interval, config.frequency_mapping, kernels);
    const size_t symbols = cells.size() / carrier_count[config.mode];
    std::vector<ComplexSample> out((fft_size[config.mode] + ifft.guard_length()) * symbols,
                                   ComplexSample{-7.0f, -7.0f});
    ifft.process(cells, out);
    return out;
}

TEST(SimdKernelsTest, PortableFirstAndBestAmongTheAvailable) {
    const auto sets = available_kernels();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.front(), &portable_kernels());
    EXPECT_NE(std::find(sets.begin(), sets.end(), &best_kernels()), sets.end());
    for (auto set = sets.begin(); set != sets.end(); ++set)
        EXPECT_EQ(std::find(set + 1, sets.end(), *set), sets.end()) << (*set)->name << " twice";
    for (const SimdKernels* set : sets) {
        EXPECT_EQ(kernels_named(set->name), set) << set->name;
        RecordProperty(std::string("path_") + set->name, "available");
    }
    EXPECT_EQ(kernels_named("generic"), &portable_kernels());
    EXPECT_EQ(kernels_named("SSE2"), &portable_kernels());
    EXPECT_EQ(kernels_named("no such path"), nullptr);
    EXPECT_EQ(kernels_named(""), nullptr);
#if defined(TERRAMOD_HAVE_HIGHWAY) && defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        ASSERT_NE(kernels_named("avx2"), nullptr);
        EXPECT_EQ(kernels_named("AVX2"), kernels_named("avx2"));
    }
    if (__builtin_cpu_supports("avx512f")) {
        EXPECT_NE(kernels_named("avx3"), nullptr);
    }
#endif
}

TEST(SimdKernelsTest, EnvironmentForcesAPath) {
    const char* saved = std::getenv(kSimdEnvironmentVariable);
    const std::string restore = saved ? saved : "";
    struct Case {
        const char* value;
        const SimdKernels* expected;
    };
    const Case cases[] = {{"", &best_kernels()},
                          {"generic", &portable_kernels()},
                          {"Portable", &portable_kernels()},
                          {"bogus", nullptr}};
    for (const Case& c : cases) {
        setenv(kSimdEnvironmentVariable, c.value, 1);
        EXPECT_EQ(kernels_from_environment(), c.expected) << c.value;
    }
    unsetenv(kSimdEnvironmentVariable);
    EXPECT_EQ(kernels_from_environment(), &best_kernels());
    if (saved) setenv(kSimdEnvironmentVariable, restore.c_str(), 1);
}

// Every set, both modes, every guard, both mappings: bit for bit the literal
// transform, on constellation-like and on wide-range cells.
TEST(SimdKernelsTest, EveryPathTransformsAsTheLiteralReference) {
    for (const SimdKernels* kernels : available_kernels()) {
        for (int mode = 0; mode < 2; ++mode) {
            const auto cells =
                wide_range_cells(static_cast<size_t>(carrier_count[mode]) * 3, 17 + mode);
            for (int guard = 0; guard < 4; ++guard) {
                for (int mapping = 0; mapping < 2; ++mapping) {
                    DvbtSettings config;
                    config.mode = static_cast<OfdmMode>(mode);
                    config.guard_interval = static_cast<GuardInterval>(guard);
                    config.frequency_mapping = static_cast<FrequencyMapping>(mapping);
                    EXPECT_EQ(mismatches(transform(*kernels, config, cells),
                                         reference_ifft_and_guard(config, cells)),
                              0u)
                        << kernels->name << " mode " << mode << " guard " << guard << " mapping "
                        << mapping;
                }
            }
        }
    }
}

// Cells from the edges of the float range, where float and double arithmetic
// could part ways: exact zeros of both signs (sums that are -0 or +0),
// subnormals (no flush to zero), magnitudes that overflow to infinity within
// a few stages, and infinities (inf - inf gives NaN). Each part is one of the
// values, or with one chance in `ordinary_odds` an ordinary value (none when
// 0: a zero's sign survives to the output only where no other value mixes in).
struct EdgeCase {
    const char* name;
    uint32_t ordinary_odds;
    std::vector<float> values;
};

std::vector<ComplexSample> edge_cells(const EdgeCase& edge, size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> ordinary(-1.0f, 1.0f);
    std::vector<ComplexSample> cells(count);
    const auto part = [&] {
        if (edge.ordinary_odds != 0 && generator() % edge.ordinary_odds == 0)
            return ordinary(generator);
        return edge.values[generator() % edge.values.size()];
    };
    for (ComplexSample& cell : cells) cell = {part(), part()};
    return cells;
}

// NaNs compare as NaN (their payloads come from whichever operand the
// compiler puts first); everything else bit for bit.
size_t mismatches_up_to_nan(const std::vector<ComplexSample>& x,
                            const std::vector<ComplexSample>& y) {
    if (x.size() != y.size()) return std::max(x.size(), y.size());
    const auto same = [](float a, float b) {
        return std::isnan(a) ? std::isnan(b)
                             : std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    };
    size_t count = 0;
    for (size_t i = 0; i < x.size(); ++i)
        count += !same(x[i].re, y[i].re) || !same(x[i].im, y[i].im);
    return count;
}

TEST(SimdKernelsTest, EveryPathTransformsTheEdgesOfTheFloatRangeAsTheReference) {
    const float max = std::numeric_limits<float>::max();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float inf = std::numeric_limits<float>::infinity();
    const EdgeCase edges[] = {
        {"signed zeros", 0, {0.0f, -0.0f}},
        {"only negative zeros", 0, {-0.0f}},
        {"signed zeros, few ordinary values", 64, {0.0f, -0.0f}},
        {"subnormals",
         4,
         {tiny, -tiny, 3 * tiny, -1000 * tiny, std::ldexp(1.0f, -127), 0.0f, -0.0f}},
        {"near overflow", 4, {max, -max, max / 3, -max / 1000, std::ldexp(1.0f, 120), -0.0f}},
        {"infinities", 4, {inf, -inf, 1.0f, -0.0f}},
    };
    for (const EdgeCase& edge : edges) {
        for (int mode = 0; mode < 2; ++mode) {
            DvbtSettings config;
            config.mode = static_cast<OfdmMode>(mode);
            config.guard_interval = kGuard1_4;
            const auto cells = edge_cells(edge, static_cast<size_t>(carrier_count[mode]) * 2, 3);
            const auto expected = reference_ifft_and_guard(config, cells);
            for (const SimdKernels* kernels : available_kernels()) {
                const auto got = transform(*kernels, config, cells);
                const size_t wrong = edge.values[0] == inf ? mismatches_up_to_nan(got, expected)
                                                           : mismatches(got, expected);
                EXPECT_EQ(wrong, 0u) << kernels->name << " mode " << mode << " " << edge.name;
            }
        }
    }
}

std::vector<ComplexSample> interpolate(const SimdKernels& kernels, int factor,
                                       const std::vector<ComplexSample>& in,
                                       const std::vector<size_t>& block_sizes) {
    Interpolator interpolator(factor, kernels);
    std::vector<ComplexSample> out(in.size() * factor, ComplexSample{-9.0f, -9.0f});
    for (size_t done = 0, b = 0; done < in.size(); ++b) {
        const size_t size = std::min(block_sizes[b % block_sizes.size()], in.size() - done);
        interpolator.process(std::span(in.data() + done, size),
                             std::span(out.data() + done * factor, size * factor));
        done += size;
    }
    return out;
}

// Block sizes that cut through the kernels' 8-, 16- and 32-sample strides
// and the interpolator's 256-sample blocks.
TEST(SimdKernelsTest, EveryPathInterpolatesAsTheLiteralReference) {
    const auto in = wide_range_cells(2100, 5);
    const std::vector<std::vector<size_t>> splits = {{2100}, {1}, {7, 0, 33, 31, 300, 2}, {511}};
    for (const SimdKernels* kernels : available_kernels()) {
        for (int factor : {2, 4}) {
            const auto expected = reference_interpolate(factor, in);
            for (const auto& split : splits)
                EXPECT_EQ(mismatches(interpolate(*kernels, factor, in, split), expected), 0u)
                    << kernels->name << " factor " << factor << " first block " << split[0];
        }
    }
}

}  // namespace
}  // namespace terramod
