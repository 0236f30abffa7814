// The phase noise stage against its model: a random-walk phase whose steps
// have the variance sigma^2 = 4 pi^2 f^2 L(f) / Fs, and whose spectrum (the
// exact one of e^{j phi} for Gaussian steps) has L(f) at the offset asked.
#include "channel/phase_noise_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <vector>

#include "tests/channel/band_power.h"

namespace terramod {
namespace {

using test::Complex;
constexpr double kPi = std::numbers::pi;

// sigma^2 of the model, rad^2 a sample.
double step_variance(double dbc_per_hz, double offset_hz, double rate) {
    return 4 * kPi * kPi * offset_hz * offset_hz * std::pow(10.0, dbc_per_hz / 10) / rate;
}

// The phase of a carrier (1, 0) run through the stage.
std::vector<ComplexSample> impaired_carrier(size_t count, uint64_t seed, double dbc_per_hz,
                                            double offset_hz, double rate,
                                            std::vector<size_t> cycles) {
    std::vector<ComplexSample> samples(count, ComplexSample{1, 0});
    PhaseNoiseStage stage(seed, dbc_per_hz, offset_hz, rate);
    test::run_stage(stage, samples, std::move(cycles));
    return samples;
}

TEST(PhaseNoiseStage, PhaseStepsHaveTheVarianceOfTheModel) {
    struct Case {
        double dbc_per_hz;
        double offset_hz;
        double rate;
        double variance;  // by hand: 4 pi^2 f^2 10^(L/10) / Fs
    };
    const Case cases[] = {
        {-80, 10e3, 64e6 / 7, 4.3179519e-6},
        {-100, 100e3, 4 * 64e6 / 7, 1.0794880e-6},
        {-60, 1e3, 1e6, 3.9478418e-5},
        {-120, 1e6, 8e6, 4.9348022e-6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dbc_per_hz);
        EXPECT_NEAR(step_variance(c.dbc_per_hz, c.offset_hz, c.rate), c.variance,
                    1e-7 * c.variance);
        const std::vector<ComplexSample> samples =
            impaired_carrier(size_t{1} << 18, 3, c.dbc_per_hz, c.offset_hz, c.rate, {65536});
        // Steps from sample to sample (the first from phi[-1] = 0).
        double sum = 0, squares = 0;
        std::complex<double> before(1, 0);
        for (const ComplexSample& sample : samples) {
            const std::complex<double> now(sample.re, sample.im);
            ASSERT_NEAR(std::abs(now), 1.0, 1e-6);
            const double step = std::arg(now * std::conj(before));
            sum += step;
            squares += step * step;
            before = now;
        }
        const double count = static_cast<double>(samples.size());
        // 2^18 steps: the variance to 0.28 %, one standard deviation.
        EXPECT_NEAR(squares / count, c.variance, 0.02 * c.variance);
        EXPECT_NEAR(sum / count, 0, 5 * std::sqrt(c.variance / count));
    }
}

// The single-sideband level at the offset asked and ten times further, from
// Hann-windowed periodograms of 1024 samples (1 kHz bins at 1.024 MHz)
// averaged over 1000 blocks and both sidebands (2.2 % a point): the exact
// spectrum of e^{j phi} for a random walk of Gaussian steps, whose
// autocorrelation is rho^|m| with rho = e^{-sigma^2 / 2}, is
//     S(f) = (1 - rho^2) / (Fs (1 - 2 rho cos(2 pi f / Fs) + rho^2)),
// L(f) at the offset of the model.
TEST(PhaseNoiseStage, SpectrumHasTheLevelAskedAtTheOffset) {
    constexpr double kRate = 1.024e6;
    constexpr size_t kBlock = 1024;
    constexpr size_t kBlocks = 1000;
    const double level = -60, offset = 10e3;
    const std::vector<ComplexSample> samples =
        impaired_carrier(kBlock * kBlocks, 9, level, offset, kRate, {100000});
    const double rho = std::exp(-step_variance(level, offset, kRate) / 2);
    auto exact_db = [&](double f) {
        return 10 * std::log10((1 - rho * rho) /
                               (kRate * (1 - 2 * rho * std::cos(2 * kPi * f / kRate) + rho * rho)));
    };
    // The model's level at its offset: L(f) << 0 dBc/Hz there.
    EXPECT_NEAR(exact_db(offset), level, 0.01);

    std::vector<double> window(kBlock);
    double window_power = 0;
    for (size_t n = 0; n < kBlock; ++n) {
        window[n] = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(n) / kBlock);
        window_power += window[n] * window[n];
    }
    for (const int bin : {10, 100}) {
        const double frequency = bin * kRate / kBlock;
        SCOPED_TRACE(frequency);
        double density = 0;
        for (size_t block = 0; block < kBlocks; ++block) {
            for (const int sign : {1, -1}) {
                Complex sum = 0;
                for (size_t n = 0; n < kBlock; ++n) {
                    const ComplexSample& s = samples[block * kBlock + n];
                    sum += window[n] * Complex(s.re, s.im) *
                           std::polar(1.0, -2 * kPi * sign * bin * static_cast<double>(n) /
                                               static_cast<double>(kBlock));
                }
                density += std::norm(sum) / (kRate * window_power);
            }
        }
        density /= 2 * kBlocks;
        EXPECT_NEAR(10 * std::log10(density), exact_db(frequency), 0.5);
    }
}

// The phase is carried across cycles: cut differently, the same bytes; the
// seed defines the walk.
TEST(PhaseNoiseStage, CyclesAndSeeds) {
    const auto whole = impaired_carrier(30001, 4, -70, 5e3, 1e6, {});
    const auto cut = impaired_carrier(30001, 4, -70, 5e3, 1e6, {1, 2, 4095, 7});
    const auto other = impaired_carrier(30001, 5, -70, 5e3, 1e6, {});
    EXPECT_EQ(std::memcmp(whole.data(), cut.data(), whole.size() * sizeof(ComplexSample)), 0);
    EXPECT_NE(std::memcmp(whole.data(), other.data(), whole.size() * sizeof(ComplexSample)), 0);
    // The model's step in turns: f sqrt(L / Fs), 5e3 x sqrt(1e-7 / 1e6).
    EXPECT_NEAR(PhaseNoiseStage::step_deviation_turns(-70, 5e3, 1e6), 1.5811388300841898e-3, 1e-15);
}

}  // namespace
}  // namespace terramod
