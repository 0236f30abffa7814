// The ziggurat's normal numbers against the normal distribution, whose
// probabilities come from the C library's erfc here (tests write no samples).
#include "channel/gaussian_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace terramod {
namespace {

// P(X > x), and f(x) = e^{-x^2/2}.
const auto upper_tail = [](double x) { return 0.5 * std::erfc(x / std::numbers::sqrt2); };
const auto curve = [](double x) { return std::exp(-x * x / 2); };

// Every layer has the area v (Marsaglia and Tsang print 0.00492867323399),
// r f(r) plus the tail's integral; x_256 = 0 closes the top one at f(0) = 1
// (to 2 x 10^-12 of v after 254 steps of the recursion).
TEST(GaussianSource, EveryLayerHasTheSameArea) {
    const GaussianSource source(1, NoiseStream::kAwgn);
    const double v = source.layer_area(), r = GaussianSource::kTailStart;
    const auto& x = source.edges();
    EXPECT_NEAR(v, 0.00492867323399, 3e-14);
    EXPECT_NEAR(v, r * curve(r) + std::sqrt(2 * std::numbers::pi) * upper_tail(r), 1e-17);
    EXPECT_NEAR(x[0] * curve(r), v, 1e-17);
    for (int i = 1; i < GaussianSource::kLayers; ++i)
        EXPECT_NEAR(x[i] * (curve(x[i + 1]) - curve(x[i])), v, 1e-14) << i;
}

// 4 x 10^7 numbers, I (counter 2n) and Q (2n + 1) of 2 x 10^7 samples: the
// moments, P(|x| > t) (to 1.5 % at 3, 30 % at 4.5), a chi-square over bins
// of 1/16 from -5 to 5 and two beyond, I and Q uncorrelated, also in their
// squares; every bound 5 standard errors (the chi-square's: above its
// mean). Asked backwards by another object, the first numbers are the same.
TEST(GaussianSource, MomentsBinsTailsAndIndependence) {
    const GaussianSource source(7, NoiseStream::kAwgn), again(7, NoiseStream::kAwgn);
    constexpr int kPairs = 20'000'000, kBins = 162;
    const double n = 2.0 * kPairs, limits[] = {2, 3, GaussianSource::kTailStart, 4, 4.5};
    double powers[4] = {}, tails[5] = {}, iq = 0, iq_squares = 0;
    std::vector<double> bins(kBins), first(100'000);
    for (size_t i = 0; i < first.size(); ++i) first[i] = source.normal(i);
    for (uint64_t k = 0; k < kPairs; ++k) {
        const double a = source.normal(2 * k), b = source.normal(2 * k + 1);
        for (const double x : {a, b}) {
            for (double p = 1, i = 0; i < 4; ++i) powers[static_cast<int>(i)] += p *= x;
            for (int i = 0; i < 5; ++i) tails[i] += std::fabs(x) > limits[i];
            bins[static_cast<size_t>(std::clamp(std::floor(x * 16) + 81, 0.0, kBins - 1.0))] += 1;
        }
        iq += a * b;
        iq_squares += a * a * b * b;
    }
    const double moments[][2] = {{0, 1}, {1, 2}, {0, 15}, {3, 96}};  // E x^p, var x^p
    for (int p = 0; p < 4; ++p)
        EXPECT_NEAR(powers[p] / n, moments[p][0], 5 * std::sqrt(moments[p][1] / n)) << p + 1;
    for (int i = 0; i < 5; ++i) {
        const double expected = n * 2 * upper_tail(limits[i]);
        EXPECT_NEAR(tails[i], expected, 5 * std::sqrt(expected)) << limits[i];
    }
    double chi_square = 0;
    for (int i = 0; i < kBins; ++i) {
        const double low = i == 0 ? -INFINITY : (i - 81) / 16.0;
        const double high = i == kBins - 1 ? INFINITY : (i - 80) / 16.0;
        const double expected = n * (upper_tail(low) - upper_tail(high));
        chi_square += std::pow(bins[static_cast<size_t>(i)] - expected, 2) / expected;
    }
    EXPECT_LT(chi_square, kBins - 1 + 5 * std::sqrt(2 * (kBins - 1)));
    EXPECT_NEAR(iq / kPairs, 0, 5 / std::sqrt(kPairs));
    EXPECT_NEAR(iq_squares / kPairs, 1, 5 * std::sqrt(8.0 / kPairs));
    for (size_t i = first.size(); i-- > 0;) ASSERT_EQ(again.normal(i), first[i]) << i;
    EXPECT_NE(GaussianSource(8, NoiseStream::kAwgn).normal(9), first[9]);
    EXPECT_NE(GaussianSource(7, NoiseStream::kPhaseNoise).normal(9), first[9]);
}

}  // namespace
}  // namespace terramod
