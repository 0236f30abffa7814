// Standard normal numbers for the channel simulator: the ziggurat method
// (Marsaglia and Tsang 2000, in Doornik's 2005 form with the layer, the
// sign and the uniform taken from separate bits), 256 layers, over the
// counter-based NoiseSource. The number of counter n is a function of the
// seed, the stream and n alone: whoever asks for it, in whatever order.
//
// The area under f(x) = e^{-x^2/2}, x >= 0, is cut into 256 pieces of equal
// area V: layer 0 the rectangle [0, r] x [0, f(r)] and the tail beyond r
// together, layer i (1 to 255) the rectangle [0, x_i] x [f(x_i), f(x_{i+1})]
// with r = x_1 > x_2 > ... > x_255 > x_256 = 0. Layer 0 is given the width
// x_0 = V / f(r), so that every layer is a width x_i:
//   - 64 bits of counter n: bits 0 to 7 pick a layer i, bit 8 the sign,
//     bits 11 to 63 a uniform u in [0, 1) (53 bits);
//   - if u x_i < x_{i+1} the point lies under the curve whatever its height:
//     the number is +-u x_i (98.5 % of the numbers: one mixing, one table
//     entry, a comparison and a multiplication);
//   - otherwise, in layer 0, the tail by Marsaglia's method; in another
//     layer, u x_i is kept if a height drawn within the layer lies under
//     f(u x_i), or the whole draw starts again. These further draws are
//     the numbers of counter n's second dimension (NoiseSource::more_bits).
// The tables are computed at construction with exact_exp, exact_log and
// sqrt, and the draws use only integer operations, exact conversions,
// multiplications, additions and exact_exp/exact_log: the same numbers on
// every machine.
#pragma once

#include <array>
#include <cstdint>

#include "channel/noise_source.h"

namespace terramod {

class GaussianSource {
  public:
    static constexpr int kLayers = 256;
    // x_1: where the tail begins, the ziggurat of 256 layers of Marsaglia
    // and Tsang.
    static constexpr double kTailStart = 3.6541528853610088;

    GaussianSource(uint64_t seed, NoiseStream stream);

    // The standard normal number (mean 0, variance 1) of counter `index`.
    double normal(uint64_t index) const {
        const uint64_t bits = source_.bits(index);
        const Entry& entry = entries_[bits & 0x1FF];
        const uint64_t magnitude = bits >> 11;
        if (magnitude < entry.limit) [[likely]]
            return static_cast<double>(static_cast<int64_t>(magnitude)) * entry.scale;
        return beyond_rectangle(index, bits);
    }

    // The tables: x_0 to x_256 (x_0 the width of layer 0, V / f(r)), and
    // V, the area of each layer.
    const std::array<double, kLayers + 1>& edges() const { return edges_; }
    double layer_area() const { return area_; }

  private:
    // Of a layer and a sign: a uniform of 53 bits below `limit` lies in the
    // layer's rectangle under the curve; times `scale` (+-x_i 2^-53) it is
    // the number.
    struct Entry {
        uint64_t limit;
        double scale;
    };

    double beyond_rectangle(uint64_t index, uint64_t bits) const;

    NoiseSource source_;
    double area_;
    std::array<double, kLayers + 1> edges_;    // x_i
    std::array<double, kLayers + 1> heights_;  // f(x_i), f(x_256) = 1
    std::array<Entry, 2 * kLayers> entries_;   // by bits 0 to 8: layer, sign
};

}  // namespace terramod
