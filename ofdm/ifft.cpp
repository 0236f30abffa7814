#include "ofdm/ifft.h"

#include <cmath>
#include <cstring>

namespace terramod {

namespace {

// 2 pi rounded to a 32-bit float (0x40C90FDB): the seed angles are derived
// from this value, so they are slightly larger than 2 pi / 2^s.
constexpr double kTwoPiFloat = 6.2831854820251465;

float f32(double value) {
    return static_cast<float>(value);
}

}  // namespace

Ifft::Ifft(Log& log, const TxConfig& config)
    : log_(log),
      mode_(config.mode),
      mapping_(config.frequency_mapping),
      guard_length_(
          static_cast<int32_t>(fft_size[config.mode] * guard_fraction[config.guard_interval])) {
    const int32_t size = fft_size[mode_];
    const int32_t stages = fft_log2[mode_];

    bit_reverse_table_.resize(size);
    for (int32_t i = 0; i < size; ++i) {
        int32_t reversed = 0;
        int32_t rest = i;
        for (int32_t bit = 0; bit < stages; ++bit) {
            reversed = 2 * reversed + (rest & 1);
            rest >>= 1;
        }
        bit_reverse_table_[i] = reversed;
    }

    seeds_.resize(stages);
    for (int32_t s = 1; s <= stages; ++s) {
        const double theta = kTwoPiFloat / static_cast<double>(1 << s);
        TwiddleSeeds& seed = seeds_[s - 1];
        seed.cos1 = f32(std::cos(theta));
        seed.sin1 = f32(std::sin(-theta));
        seed.cos2 = f32(std::cos(2.0 * theta));
        seed.sin2 = f32(std::sin(-2.0 * theta));
        seed.twice_cos = f32(2.0 * std::cos(theta));
    }
}

void Ifft::ifft_and_guard(const ComplexSample* input, ComplexSample* output, int32_t count) {
    log_.write(3, "Guarding, IFFTing & prefixing ...");
    const int32_t size = fft_size[mode_];
    const int32_t carriers = carrier_count[mode_];
    const int32_t block = size + guard_length_;
    for (int32_t c0 = 0, q = 0; c0 < count; c0 += carriers, ++q) {
        ComplexSample* symbol = output + static_cast<size_t>(q) * block;
        ComplexSample* bins = symbol + guard_length_;
        place_carriers(input + c0, bins);
        transform(bins);
        std::memcpy(symbol, bins + size - guard_length_, sizeof(ComplexSample) * guard_length_);
    }
    log_.write(3, " done.\n");
}

void Ifft::place_carriers(const ComplexSample* cells, ComplexSample* bins) const {
    const int32_t size = fft_size[mode_];
    const int32_t carriers = carrier_count[mode_];
    const int32_t* reverse = bit_reverse_table_.data();
    const ComplexSample zero{0.0f, 0.0f};
    if (mapping_ == kZeroIf) {
        const int32_t centre = (carriers - 1) / 2;
        const int32_t upper = (carriers + 1) / 2;
        for (int32_t b = 0; b < upper; ++b) bins[reverse[b]] = cells[centre + b];
        for (int32_t b = upper; b < size - centre; ++b) bins[reverse[b]] = zero;
        for (int32_t b = size - centre; b < size; ++b)
            bins[reverse[b]] = cells[b - (size - centre)];
    } else {
        const int32_t first = (size - carriers + 1) / 2;
        for (int32_t b = 0; b < first; ++b) bins[reverse[b]] = zero;
        for (int32_t b = first; b < first + carriers; ++b) bins[reverse[b]] = cells[b - first];
        for (int32_t b = first + carriers; b < size; ++b) bins[reverse[b]] = zero;
    }
}

void Ifft::transform(ComplexSample* bins) const {
    const int32_t size = fft_size[mode_];
    const int32_t stages = fft_log2[mode_];
    for (int32_t s = 1; s <= stages; ++s) {
        const TwiddleSeeds& seed = seeds_[s - 1];
        const int32_t half = 1 << (s - 1);
        const int32_t span = 1 << s;
        for (int32_t g = 0; g < size; g += span) {
            float c1 = seed.cos1, c2 = seed.cos2, s1 = seed.sin1, s2 = seed.sin2;
            for (int32_t j = 0; j < half; ++j) {
                ComplexSample& a = bins[g + j];
                ComplexSample& b = bins[g + j + half];
                const float wr = f32(double{seed.twice_cos} * c1 - c2);
                c2 = c1;
                c1 = wr;
                const double wi = double{seed.twice_cos} * s1 - s2;
                s2 = s1;
                s1 = f32(wi);
                const float tr = f32(double{wr} * b.re - wi * b.im);
                const double ti = wi * b.re + double{wr} * b.im;
                b.re = f32(double{a.re} - tr);
                b.im = f32(a.im - ti);
                a.re = f32(double{tr} + a.re);
                a.im = f32(ti + a.im);
            }
        }
    }
}

}  // namespace terramod
