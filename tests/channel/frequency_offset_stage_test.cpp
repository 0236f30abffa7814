// The frequency offset stage: a tone moves by the offset (measured from the
// slope of its phase), sample n turns by f n / Fs exactly however far into
// the run, and the limits behave as the definition says.
#include "channel/frequency_offset_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <vector>

#include "tests/channel/band_power.h"

namespace terramod {
namespace {

constexpr double kRate = 64e6 / 7;

// The frequency of a tone from its mean phase step: the unwrapped phase's
// slope (each step within half a turn).
double measured_frequency(const std::vector<ComplexSample>& samples, double rate) {
    double sum = 0;
    for (size_t n = 1; n < samples.size(); ++n) {
        const std::complex<double> now(samples[n].re, samples[n].im);
        const std::complex<double> before(samples[n - 1].re, samples[n - 1].im);
        sum += std::arg(now * std::conj(before));
    }
    return sum / static_cast<double>(samples.size() - 1) * rate / (2 * std::numbers::pi);
}

std::vector<ComplexSample> tone(size_t count, double frequency, double rate) {
    std::vector<ComplexSample> samples(count);
    for (size_t n = 0; n < count; ++n) {
        const long double turns = static_cast<long double>(frequency) * n / rate;
        const double phase = 2 * std::numbers::pi * static_cast<double>(turns - std::floor(turns));
        samples[n] = {static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
    }
    return samples;
}

TEST(FrequencyOffsetStage, ToneMovesByTheOffset) {
    struct Case {
        double tone_hz;
        double offset_hz;
        double rate;
    };
    const Case cases[] = {
        {250e3, 125, kRate},  {250e3, -3000.5, kRate},
        {-1e6, 1e6, kRate},   {100e3, -4e6, kRate},
        {0, 0.3, kRate},      {1e6, 2.5e6, 4 * kRate},
        {0, -0.01, 48e6 / 7}, {-2e6, 1234.5678, 2 * kRate},
        {0, 4e6, kRate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset_hz);
        std::vector<ComplexSample> samples = tone(200000, c.tone_hz, c.rate);
        FrequencyOffsetStage stage(c.offset_hz, c.rate);
        test::run_stage(stage, samples, {65536});
        EXPECT_NEAR(measured_frequency(samples, c.rate), c.tone_hz + c.offset_hz, 0.1);
        for (const ComplexSample& sample : samples)
            ASSERT_NEAR(std::hypot(sample.re, sample.im), 1.0, 1e-6);
    }
}

// Every sample against e^{j 2 pi f n / Fs} computed in long double from n,
// over 2^22 samples (the phase of the last is 5 x 10^5 turns on): float
// rounding alone, no drift.
TEST(FrequencyOffsetStage, SampleNTurnsByOffsetTimesNOverRate) {
    const double offset = 125000.375;
    const size_t count = size_t{1} << 22;
    std::vector<ComplexSample> samples(count, ComplexSample{1, 0});
    FrequencyOffsetStage stage(offset, kRate);
    test::run_stage(stage, samples, {143616});
    for (size_t n = 0; n < count; n += 997) {
        const long double turns = static_cast<long double>(offset) * n / kRate;
        const double phase = 2 * std::numbers::pi * static_cast<double>(turns - std::floor(turns));
        ASSERT_NEAR(samples[n].re, std::cos(phase), 2e-7) << n;
        ASSERT_NEAR(samples[n].im, std::sin(phase), 2e-7) << n;
    }
}

// No offset leaves the samples as they were; half the rate negates every
// other sample, exactly.
TEST(FrequencyOffsetStage, ZeroAndHalfTheRate) {
    std::vector<ComplexSample> input(1000);
    for (size_t n = 0; n < input.size(); ++n)
        input[n] = {0.5f + static_cast<float>(n) * 0.001f, -0.25f - static_cast<float>(n) * 0.002f};
    for (const double offset : {0.0, kRate / 2, -kRate / 2}) {
        SCOPED_TRACE(offset);
        std::vector<ComplexSample> samples = input;
        FrequencyOffsetStage stage(offset, kRate);
        test::run_stage(stage, samples, {333});
        for (size_t n = 0; n < input.size(); ++n) {
            const float sign = offset != 0 && n % 2 == 1 ? -1.0f : 1.0f;
            ASSERT_EQ(samples[n].re, sign * input[n].re) << n;
            ASSERT_EQ(samples[n].im, sign * input[n].im) << n;
        }
    }
    // The step in 2^-64 turns: 1/8 of the rate is 2^61.
    EXPECT_EQ(FrequencyOffsetStage(kRate / 8, kRate).step(), uint64_t{1} << 61);
    EXPECT_EQ(FrequencyOffsetStage(-kRate / 8, kRate).step(), uint64_t{7} << 61);
}

}  // namespace
}  // namespace terramod
