// The channel simulator's random numbers: a counter-based generator, so the
// number for sample n of stream k under seed s is the same whoever asks for
// it and in whatever order (any thread count, any split of a cycle). The
// mixing is SplitMix64's finalizer (Steele, Lea and Flood 2014) over the
// key and the counter.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/exact_math.h"

namespace terramod {

// What each stage draws from: one stream each, so that adding a stage does
// not change the numbers of another.
enum class NoiseStream : uint64_t {
    kAwgn = 1,
    kPhaseNoise = 2,
    kFading = 3,
};

inline uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class NoiseSource {
  public:
    NoiseSource(uint64_t seed, NoiseStream stream)
        : key_(mix64(seed + 0x9E3779B97F4A7C15ull * (static_cast<uint64_t>(stream) + 1))) {}

    // 64 random bits for counter `index`.
    uint64_t bits(uint64_t index) const { return mix64(key_ + 0x9E3779B97F4A7C15ull * index); }
    // Uniform in (0, 1]: 53 bits.
    double uniform(uint64_t index) const {
        return static_cast<double>((bits(index) >> 11) + 1) * 0x1.0p-53;
    }
    // Two independent standard normal numbers (mean 0, variance 1 each) for
    // counter `index`, by the Box-Muller transform of two uniforms.
    void gaussian_pair(uint64_t index, double& first, double& second) const {
        const double radius = std::sqrt(-2.0 * exact_log(uniform(2 * index)));
        double sine = 0;
        double cosine = 0;
        sincos_turns(uniform(2 * index + 1), sine, cosine);
        first = radius * cosine;
        second = radius * sine;
    }

  private:
    uint64_t key_;
};

}  // namespace terramod
