// The channel simulator's own exponential, logarithm and sine/cosine,
// against the C library's (which may differ from machine to machine in the
// last bit, never by more), and the normal numbers' first statistics.
#include "common/exact_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "channel/gaussian_source.h"

namespace terramod {
namespace {

TEST(ExactMath, AgreesWithTheLibraryToAFewUlp) {
    for (double x = -700; x <= 700; x += 0.731) {
        const double expected = std::exp(x);
        EXPECT_NEAR(exact_exp(x), expected, 1e-15 * expected) << x;
    }
    for (double x = 1e-300; x < 1e300; x *= 7.3) {
        const double expected = std::log(x);
        EXPECT_NEAR(exact_log(x), expected, 4e-16 * std::fabs(expected) + 1e-300) << x;
    }
    for (double x = 0.5; x < 2.0; x += 0.0013) EXPECT_NEAR(exact_log(x), std::log(x), 2.3e-16) << x;
    struct Case {
        double db, ratio;
    };
    for (const Case& c :
         std::vector<Case>{{0, 1}, {10, 10}, {20, 100}, {-30, 0.001}, {3, 1.9952623149688795}})
        EXPECT_NEAR(power_ratio_of_db(c.db), c.ratio, 1e-15 * c.ratio) << c.db;
    EXPECT_EQ(exact_exp(-800), 0.0);
    EXPECT_TRUE(std::isinf(exact_exp(710)));
    EXPECT_TRUE(std::isinf(-exact_log(0)));
}

TEST(ExactMath, SineAndCosineOfTurns) {
    constexpr double kPi = 3.14159265358979323846;
    for (double turns = -3.0; turns <= 3.0; turns += 0.00917) {
        double sine = 0, cosine = 0;
        sincos_turns(turns, sine, cosine);
        // The library's argument 2 pi x is itself rounded: its error grows with x.
        const double tolerance = 6e-16 + 2.3e-16 * std::fabs(2 * kPi * turns);
        EXPECT_NEAR(sine, std::sin(2 * kPi * turns), tolerance) << turns;
        EXPECT_NEAR(cosine, std::cos(2 * kPi * turns), tolerance) << turns;
    }
    // Whole and quarter turns are exact, and so is a fraction far out.
    struct Case {
        double turns, sine, cosine;
    };
    for (const Case& c : std::vector<Case>{{0, 0, 1},
                                           {0.25, 1, 0},
                                           {0.5, 0, -1},
                                           {-0.25, -1, 0},
                                           {1e9 + 0.25, 1, 0},
                                           {7.75, -1, 0}}) {
        double sine = 0, cosine = 0;
        sincos_turns(c.turns, sine, cosine);
        EXPECT_EQ(sine, c.sine) << c.turns;
        EXPECT_EQ(cosine, c.cosine) << c.turns;
    }
}

TEST(NoiseSource, GaussianStatisticsAndIndependence) {
    const GaussianSource normals(7, NoiseStream::kAwgn);
    const NoiseSource source(7, NoiseStream::kAwgn);
    constexpr int kPairs = 500'000;
    double sum = 0, squares = 0, product = 0, fourth = 0;
    for (int i = 0; i < kPairs; ++i) {
        const double a = normals.normal(2 * static_cast<uint64_t>(i));
        const double b = normals.normal(2 * static_cast<uint64_t>(i) + 1);
        sum += a + b;
        squares += a * a + b * b;
        product += a * b;
        fourth += a * a * a * a;
    }
    const double n = 2.0 * kPairs;
    EXPECT_NEAR(sum / n, 0.0, 0.005);           // 5 standard errors
    EXPECT_NEAR(squares / n, 1.0, 0.01);        // 5 x sqrt(2 / n)
    EXPECT_NEAR(product / kPairs, 0.0, 0.007);  // I and Q uncorrelated
    EXPECT_NEAR(fourth / kPairs, 3.0, 0.07);    // a Gaussian's kurtosis
    // Another seed or stream draws other numbers; the same asks give the same.
    const NoiseSource again(7, NoiseStream::kAwgn);
    const NoiseSource other_seed(8, NoiseStream::kAwgn);
    const NoiseSource other_stream(7, NoiseStream::kPhaseNoise);
    EXPECT_EQ(source.bits(12345), again.bits(12345));
    EXPECT_NE(source.bits(12345), other_seed.bits(12345));
    EXPECT_NE(source.bits(12345), other_stream.bits(12345));
}

}  // namespace
}  // namespace terramod
