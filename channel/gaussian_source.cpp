#include "channel/gaussian_source.h"

#include <cmath>

#include "common/exact_math.h"

namespace terramod {

namespace {

constexpr double kTwoToMinus53 = 0x1.0p-53;

// f(x) = e^{-x^2/2}, the unnormalised density.
double density(double x) {
    return exact_exp(-0.5 * x * x);
}

// The integral of f from r to infinity, f(r) / (r + 1/(r + 2/(r + 3/(r + ...)))),
// Laplace's continued fraction, evaluated from its 60th term (it has
// converged to far below the last bit by its 20th at r = 3.65).
double tail_area(double r) {
    double denominator = r;
    for (int k = 60; k >= 1; --k) denominator = r + k / denominator;
    return density(r) / denominator;
}

// Uniform in [0, 1) and in (0, 1] from 53 of the bits.
double uniform(uint64_t bits) {
    return static_cast<double>(static_cast<int64_t>(bits >> 11)) * kTwoToMinus53;
}
double open_uniform(uint64_t bits) {
    return static_cast<double>(static_cast<int64_t>((bits >> 11) + 1)) * kTwoToMinus53;
}

}  // namespace

GaussianSource::GaussianSource(uint64_t seed, NoiseStream stream) : source_(seed, stream) {
    constexpr double r = kTailStart;
    area_ = r * density(r) + tail_area(r);
    edges_[0] = area_ / density(r);
    edges_[1] = r;
    // Layer i - 1 of area V: x_{i-1} (f(x_i) - f(x_{i-1})) = V.
    for (int i = 2; i < kLayers; ++i)
        edges_[i] = std::sqrt(-2.0 * exact_log(area_ / edges_[i - 1] + density(edges_[i - 1])));
    edges_[kLayers] = 0;
    for (int i = 0; i <= kLayers; ++i) heights_[i] = density(edges_[i]);
    for (int j = 0; j < 2 * kLayers; ++j) {
        const int layer = j % kLayers;
        const double ratio = edges_[layer + 1] / edges_[layer];
        entries_[j].limit = static_cast<uint64_t>(ratio * 0x1.0p53);
        entries_[j].scale = (j < kLayers ? 1.0 : -1.0) * edges_[layer] * kTwoToMinus53;
    }
}

double GaussianSource::beyond_rectangle(uint64_t index, uint64_t bits) const {
    uint64_t draw = 0;
    for (;;) {
        const Entry& entry = entries_[bits & 0x1FF];
        const uint64_t magnitude = bits >> 11;
        const double x = static_cast<double>(static_cast<int64_t>(magnitude)) * entry.scale;
        if (magnitude < entry.limit) return x;
        const size_t layer = bits & 0xFF;
        if (layer == 0) {
            // The base rectangle to the last bit (the limit is rounded down).
            if (std::fabs(x) < kTailStart) return x;
            // The tail beyond r (Marsaglia 1964): t = -ln(u1) / r is kept
            // if -2 ln(u2) > t^2, and r + t then has the density of the tail.
            double t = 0, y = 0;
            do {
                t = -exact_log(open_uniform(source_.more_bits(index, ++draw))) / kTailStart;
                y = -exact_log(open_uniform(source_.more_bits(index, ++draw)));
            } while (y + y < t * t);
            return entry.scale < 0 ? -(kTailStart + t) : kTailStart + t;
        }
        // The wedge: a height within the layer, under the curve at |x| or not.
        const double height = heights_[layer] + uniform(source_.more_bits(index, ++draw)) *
                                                    (heights_[layer + 1] - heights_[layer]);
        if (height < density(x)) return x;
        bits = source_.more_bits(index, ++draw);
    }
}

}  // namespace terramod
