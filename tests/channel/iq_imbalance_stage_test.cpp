// The I/Q imbalance stage: its matrix on single samples by hand, and a
// tone's mirror image as far down as the image rejection formula of a
// quadrature modulator with gain error G and phase error phi says,
// IRR = (1 + 2 g cos phi + g^2) / (1 - 2 g cos phi + g^2), g = 10^(G / 20).
#include "channel/iq_imbalance_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "tests/channel/band_power.h"

namespace terramod {
namespace {

using test::Complex;
constexpr double kPi = std::numbers::pi;

double irr_db(double gain_db, double phase_deg) {
    const double g = std::pow(10.0, gain_db / 20);
    const double c = std::cos(phase_deg * kPi / 180);
    return 10 * std::log10((1 + 2 * g * c + g * g) / (1 - 2 * g * c + g * g));
}

// a = 2 (G = 40 log10 2 dB), phi = 60 degrees: cos 30 = 0.8660254,
// sin 30 = 0.5; I' = a (I c - Q s), Q' = (Q c - I s) / a.
TEST(IqImbalanceStage, MatrixOnSamplesByHand) {
    struct Case {
        ComplexSample input;
        ComplexSample expected;
    };
    const Case cases[] = {
        {{1, 0}, {1.7320508f, -0.25f}},
        {{0, 1}, {-1.0f, 0.4330127f}},
        {{2, -1}, {2 * 1.7320508f + 1.0f, -0.5f - 0.4330127f}},
    };
    IqImbalanceStage stage(40 * std::log10(2.0), 60);
    for (const Case& c : cases) {
        std::vector<ComplexSample> samples = {c.input};
        test::run_stage(stage, samples);
        EXPECT_NEAR(samples[0].re, c.expected.re, 1e-6) << c.input.re << "," << c.input.im;
        EXPECT_NEAR(samples[0].im, c.expected.im, 1e-6) << c.input.re << "," << c.input.im;
    }
    // Without imbalance the samples stay as they were, to the bit.
    std::vector<ComplexSample> samples = {{0.3f, -0.7f}, {-1e-3f, 5.0f}};
    IqImbalanceStage none(0, 0);
    test::run_stage(none, samples);
    EXPECT_EQ(samples[0].re, 0.3f);
    EXPECT_EQ(samples[0].im, -0.7f);
    EXPECT_EQ(samples[1].re, -1e-3f);
    EXPECT_EQ(samples[1].im, 5.0f);
}

// A tone on bin 300 of 4096: the power on bin -300 (its image) against its
// own, by DFT, and the tone's power against (a^2 + a^-2) / 2.
TEST(IqImbalanceStage, ImageRejectionOfATone) {
    struct Case {
        double gain_db;
        double phase_deg;
        double irr_db;  // by hand from the formula
    };
    const Case cases[] = {
        {1, 0, 24.8065}, {0, 2, 35.1616},      {0.5, 3, 28.1997},  {-2, -10, 16.8213},
        {6, 45, 5.5793}, {0.01, 0.1, 59.6141}, {-0.3, 1, 34.2674},
    };
    constexpr size_t kSize = 4096;
    constexpr int kBin = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.gain_db) + " dB, " + std::to_string(c.phase_deg) + " deg");
        EXPECT_NEAR(irr_db(c.gain_db, c.phase_deg), c.irr_db, 1e-4);
        EXPECT_NEAR(IqImbalanceStage::image_rejection_db(c.gain_db, c.phase_deg), c.irr_db, 1e-4);
        std::vector<ComplexSample> samples(kSize);
        for (size_t n = 0; n < kSize; ++n) {
            const double phase = 2 * kPi * static_cast<double>(kBin * n % kSize) / kSize;
            samples[n] = {static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
        }
        IqImbalanceStage stage(c.gain_db, c.phase_deg);
        test::run_stage(stage, samples, {1000}, 3);
        std::vector<Complex> spectrum = test::as_complex(samples);
        test::fft(spectrum);
        const double wanted = std::norm(spectrum[kBin]);
        const double image = std::norm(spectrum[kSize - kBin]);
        EXPECT_NEAR(10 * std::log10(wanted / image), c.irr_db, 0.01);
        const double a = std::pow(10.0, c.gain_db / 40);
        EXPECT_NEAR((wanted + image) / (double{kSize} * kSize), (a * a + 1 / (a * a)) / 2, 1e-6);
    }
    EXPECT_TRUE(std::isinf(IqImbalanceStage::image_rejection_db(0, 0)));
}

}  // namespace
}  // namespace terramod
