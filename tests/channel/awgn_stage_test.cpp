// The AWGN stage against its definition: C the nominal signal power, N the
// noise power within the occupied bandwidth, the noise white over the
// sample rate and split equally between I and Q. Measured on what the
// stage added to a tone of known power.
#include "channel/awgn_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "tests/channel/band_power.h"

namespace terramod {
namespace {

using test::Complex;

// An 8 MHz channel at the base rate, 2k: 64/7 MHz, 1705 carriers of
// 64/7 MHz / 2048 each (7.607143 MHz).
constexpr double kRate = 64e6 / 7;
constexpr double kOccupied = 1705 * kRate / 2048;
// The nominal power of the 2k base-rate output: 176 pilots at 16/9, 1529
// data and TPS cells at 1.
constexpr double kPower = 176 * 16.0 / 9.0 + 1529;

// A constant-envelope tone of power `power` at `turns` a sample.
std::vector<ComplexSample> tone(size_t count, double power, double turns) {
    std::vector<ComplexSample> samples(count);
    const double amplitude = std::sqrt(power);
    for (size_t n = 0; n < count; ++n) {
        const double phase = 2 * std::numbers::pi * std::fmod(turns * static_cast<double>(n), 1.0);
        samples[n] = {static_cast<float>(amplitude * std::cos(phase)),
                      static_cast<float>(amplitude * std::sin(phase))};
    }
    return samples;
}

TEST(AwgnStage, TotalNoisePowerFromTheDefinition) {
    struct Case {
        double cn_db;
        ChannelSignal signal;
        double expected;  // C x 10^(-C/N / 10) x Fs / B, by hand
    };
    const Case cases[] = {
        {20, {8e6, 4e6, 2}, 0.04},
        {0, {8e6, 8e6, 1}, 1},
        {-10, {10e6, 2.5e6, 3}, 120},
        {30, {kRate, kOccupied, kPower}, kPower * 1e-3 * 2048 / 1705},
        {13, {1e6, 1e6, 1}, 0.050118723362727228},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(AwgnStage::total_noise_power(c.cn_db, c.signal), c.expected, 1e-14 * c.expected)
            << c.cn_db;
}

// 2^19 samples: 256 blocks of 2048 bins, 1705 of them in the occupied band,
// measure the in-band power to 0.15 % (0.007 dB), one standard deviation.
TEST(AwgnStage, NoiseInTheOccupiedBandGivesTheCarrierToNoiseRatio) {
    const ChannelSignal signal{kRate, kOccupied, kPower};
    const std::vector<ComplexSample> input = tone(size_t{1} << 19, kPower, 0.123);
    for (const double cn_db : {5.0, 10.0, 20.0, 30.0}) {
        SCOPED_TRACE(cn_db);
        std::vector<ComplexSample> samples = input;
        AwgnStage stage(11, AwgnStage::total_noise_power(cn_db, signal));
        test::run_stage(stage, samples, {143616});
        const std::vector<Complex> noise = test::difference(samples, input);

        // In the band: the bins within half the occupied bandwidth of the
        // carrier (1705 of 2048 at this rate).
        const double in_band = test::band_power(noise, kRate, kOccupied / 2, 2048);
        EXPECT_NEAR(10 * std::log10(kPower / in_band), cn_db, 0.1);
        // White: the whole band holds Fs / B times the occupied band's power.
        const double total = test::mean_power(noise);
        EXPECT_NEAR(10 * std::log10(kPower / (total * kOccupied / kRate)), cn_db, 0.1);
        EXPECT_NEAR(total / in_band, kRate / kOccupied, 0.01 * kRate / kOccupied);
        // I and Q half each, uncorrelated, no mean.
        double i_power = 0, q_power = 0, iq = 0, i_sum = 0, q_sum = 0;
        for (const Complex& value : noise) {
            i_power += value.real() * value.real();
            q_power += value.imag() * value.imag();
            iq += value.real() * value.imag();
            i_sum += value.real();
            q_sum += value.imag();
        }
        const double count = static_cast<double>(noise.size());
        EXPECT_NEAR(i_power / count, total / 2, 0.01 * total);
        EXPECT_NEAR(q_power / count, total / 2, 0.01 * total);
        EXPECT_NEAR(iq / count, 0, 0.01 * total);
        EXPECT_NEAR(i_sum / count, 0, 0.01 * std::sqrt(total));
        EXPECT_NEAR(q_sum / count, 0, 0.01 * std::sqrt(total));
    }
}

// Sample n of the run gets the normal numbers of counters 2n and 2n + 1 of
// the seed's AWGN stream, scaled: the same seed gives the same bytes,
// another seed others.
TEST(AwgnStage, TheSeedDefinesTheNoise) {
    const std::vector<ComplexSample> input = tone(50000, 1, 0.01);
    auto noisy = [&](uint64_t seed) {
        std::vector<ComplexSample> samples = input;
        AwgnStage stage(seed, 0.5);
        test::run_stage(stage, samples, {20000});
        return samples;
    };
    const std::vector<ComplexSample> first = noisy(5);
    const std::vector<ComplexSample> again = noisy(5);
    const std::vector<ComplexSample> other = noisy(6);
    EXPECT_EQ(std::memcmp(first.data(), again.data(), first.size() * sizeof(ComplexSample)), 0);
    size_t same = 0;
    for (size_t n = 0; n < first.size(); ++n)
        same += first[n].re == other[n].re || first[n].im == other[n].im;
    EXPECT_LT(same, 10u);
    // Sample 30000 (the second cycle's 10000th): counters 60000 and 60001,
    // 0.5 the power, a quarter in each component.
    const GaussianSource source(5, NoiseStream::kAwgn);
    const double a = source.normal(60000), b = source.normal(60001);
    EXPECT_FLOAT_EQ(first[30000].re, static_cast<float>(input[30000].re + 0.5 * a));
    EXPECT_FLOAT_EQ(first[30000].im, static_cast<float>(input[30000].im + 0.5 * b));
}

}  // namespace
}  // namespace terramod
