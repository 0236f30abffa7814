#include "ofdm/ifft.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ofdm/simd.h"

namespace terramod {

namespace {

// 2 pi rounded to a 32-bit float (0x40C90FDB): the seed angles are derived
// from this value, so they are slightly larger than 2 pi / 2^s.
constexpr double kTwoPiFloat = 6.2831854820251465;

float f32(double value) {
    return static_cast<float>(value);
}

}  // namespace

Ifft::Ifft(OfdmMode mode, GuardInterval guard_interval, FrequencyMapping mapping)
    : mode_(mode),
      mapping_(mapping),
      guard_length_(static_cast<int32_t>(fft_size[mode] * guard_fraction[guard_interval])) {
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
    build_twiddles();
    build_placement();
}

void Ifft::ifft_and_guard(std::span<const ComplexSample> cells, std::span<ComplexSample> samples) {
    const size_t size = static_cast<size_t>(fft_size[mode_]);
    const size_t carriers = static_cast<size_t>(carrier_count[mode_]);
    const size_t guard = static_cast<size_t>(guard_length_);
    // Whole symbols only: a trailing partial symbol (outside the driver's
    // sizing) is left alone rather than read past the end of either span.
    const size_t symbols = std::min(cells.size() / carriers, samples.size() / (size + guard));
    for (size_t q = 0; q < symbols; ++q) {
        ComplexSample* symbol = samples.data() + q * (size + guard);
        ComplexSample* bins = symbol + guard;
        place_carriers(cells.data() + q * carriers, bins);
        transform(bins);
        std::memcpy(symbol, bins + size - guard, sizeof(ComplexSample) * guard);
    }
}

// Bin b of the carrier placement receives cell placement_cell(b), or 0 when
// the result is negative (an unused bin).
int32_t Ifft::placement_cell(int32_t bin) const {
    const int32_t size = fft_size[mode_];
    const int32_t carriers = carrier_count[mode_];
    if (mapping_ == kZeroIf) {
        // Carrier k lands in bin (k - kc) mod N: the centre carrier at 0 Hz.
        const int32_t centre = (carriers - 1) / 2;
        const int32_t upper = (carriers + 1) / 2;
        if (bin < upper) return centre + bin;
        if (bin >= size - centre) return bin - (size - centre);
        return -1;
    }
    // BB IF: the same block moved up by N/2 bins.
    const int32_t first = (size - carriers + 1) / 2;
    return bin >= first && bin < first + carriers ? bin - first : -1;
}

void Ifft::build_placement() {
    // Bin b is written to position bit_reverse_table_[b]; walking the
    // positions in increasing order instead (the table is its own inverse)
    // keeps the stores sequential, where stores in bin order would scatter.
    const int32_t size = fft_size[mode_];
    carrier_positions_.clear();
    carrier_cells_.clear();
    for (int32_t position = 0; position < size; ++position) {
        const int32_t cell = placement_cell(bit_reverse_table_[position]);
        if (cell < 0) continue;
        carrier_positions_.push_back(position);
        carrier_cells_.push_back(cell);
    }
}

void Ifft::place_carriers(const ComplexSample* cells, ComplexSample* bins) const {
    std::memset(bins, 0, sizeof(ComplexSample) * fft_size[mode_]);  // unused bins: +0.0
    const size_t used = carrier_positions_.size();
    for (size_t i = 0; i < used; ++i) bins[carrier_positions_[i]] = cells[carrier_cells_[i]];
}

namespace {

using simd::Double2;
using simd::Float4;

// Two complex values held as doubles, lane n = value n: the real parts in one
// vector, the imaginary parts in the other. The values are always floats
// (every result of a butterfly is rounded to float).
struct ComplexPair {
    Double2 re, im;
};

// Two twiddles, lane n = twiddle n: the float real part and the double
// imaginary part of the recurrence.
struct TwiddlePair {
    Double2 re, im;
};

// [x0.re x0.im x1.re x1.im] -> x0 in lane 0, x1 in lane 1.
inline ComplexPair split(Float4 raw) {
    ComplexPair pair;
    simd::deinterleave_widened(raw, pair.re, pair.im);
    return pair;
}

// The first two samples of each: [lo0 lo1 hi0 hi1].
inline Float4 low_halves(Float4 lo, Float4 hi) {
    return __builtin_shufflevector(lo, hi, 0, 1, 4, 5);
}

// The last two samples of each: [lo2 lo3 hi2 hi3].
inline Float4 high_halves(Float4 lo, Float4 hi) {
    return __builtin_shufflevector(lo, hi, 2, 3, 6, 7);
}

inline Float4 load_samples(const ComplexSample* samples) {
    return simd::load_float4(&samples->re);
}

inline void store_samples(ComplexSample* samples, Float4 value) {
    simd::store_float4(&samples->re, value);
}

inline ComplexPair load_pair(const ComplexSample* samples) {
    return split(load_samples(samples));
}

// Twiddles j and j + 1 of a stage's table.
inline TwiddlePair load_twiddles(const float* wr, const double* wi) {
    return {simd::load_widened(wr), simd::load_double2(wi)};
}

// The same twiddle in both lanes.
inline TwiddlePair broadcast_twiddle(float wr, double wi) {
    return {simd::broadcast(wr), simd::broadcast(wi)};
}

// Two butterflies, one per lane, exactly as the recurrence defines them:
//   tr = f32(wr b.re - wi b.im), ti = wi b.re + wr b.im (double),
//   b = f32(a - t), a = f32(t + a).
// Double lanes give the same bits as scalar double code. The four results
// are left unrounded: the callers round them to float.
struct ButterflyResult {
    Double2 a_re, a_im, b_re, b_im;
};

inline ButterflyResult butterfly_unrounded(const ComplexPair& a, const ComplexPair& b,
                                           const TwiddlePair& w) {
    const Double2 tr = simd::round_to_float(w.re * b.re - w.im * b.im);
    const Double2 ti = w.im * b.re + w.re * b.im;
    return {tr + a.re, ti + a.im, a.re - tr, a.im - ti};
}

// A butterfly whose results feed another one in registers.
inline void butterfly(ComplexPair& a, ComplexPair& b, const TwiddlePair& w) {
    const ButterflyResult r = butterfly_unrounded(a, b, w);
    a = {simd::round_to_float(r.a_re), simd::round_to_float(r.a_im)};
    b = {simd::round_to_float(r.b_re), simd::round_to_float(r.b_im)};
}

// A butterfly whose results go straight back to memory, as floats
// [a.re a.im] and [b.re b.im] per lane.
struct StoredPair {
    Float4 a, b;
};

inline StoredPair butterfly_to_floats(const ComplexPair& a, const ComplexPair& b,
                                      const TwiddlePair& w) {
    const ButterflyResult r = butterfly_unrounded(a, b, w);
    return {simd::narrow_interleaved(r.a_re, r.a_im), simd::narrow_interleaved(r.b_re, r.b_im)};
}

}  // namespace

void Ifft::build_twiddles() {
    // The recurrence restarts from the same seeds in every group, so each
    // stage's sequence of twiddles is the same for all its groups: run it once
    // here, with exactly the operations of the transform.
    const int32_t size = fft_size[mode_];
    twiddle_re_.resize(size - 1);  // stages 1..m: 1 + 2 + ... + N/2 entries
    twiddle_im_.resize(size - 1);
    for (int32_t s = 1; s <= fft_log2[mode_]; ++s) {
        const TwiddleSeeds& seed = seeds_[s - 1];
        const int32_t half = 1 << (s - 1);
        float c1 = seed.cos1, c2 = seed.cos2, s1 = seed.sin1, s2 = seed.sin2;
        for (int32_t j = 0; j < half; ++j) {
            const float wr = f32(double{seed.twice_cos} * c1 - c2);
            c2 = c1;
            c1 = wr;
            const double wi = double{seed.twice_cos} * s1 - s2;
            s2 = s1;
            s1 = f32(wi);
            // Stage s occupies entries half - 1 .. 2 half - 2.
            twiddle_re_[half - 1 + j] = wr;
            twiddle_im_[half - 1 + j] = wi;
        }
    }
}

// The butterflies of a stage are independent of each other, so their order
// does not change the result. The passes below take two stages at a time on
// four values kept in registers (radix-2 squared), halving the memory traffic;
// each butterfly is still exactly the recurrence's.
void Ifft::transform(ComplexSample* bins) const {
    const int32_t size = fft_size[mode_];
    const int32_t stages = fft_log2[mode_];
    first_two_stages(bins);
    int32_t half = 4;  // stage 3
    for (int32_t s = 3; s + 1 <= stages; s += 2, half *= 4) two_stages(bins, half);
    if (half < size) one_stage(bins, half);
}

// Stages 1 and 2 on each block of four bins; lane 0 holds block g, lane 1
// block g + 4.
void Ifft::first_two_stages(ComplexSample* bins) const {
    const int32_t size = fft_size[mode_];
    const TwiddlePair stage1 = broadcast_twiddle(twiddle_re_[0], twiddle_im_[0]);
    const TwiddlePair stage2_j0 = broadcast_twiddle(twiddle_re_[1], twiddle_im_[1]);
    const TwiddlePair stage2_j1 = broadcast_twiddle(twiddle_re_[2], twiddle_im_[2]);
    for (int32_t g = 0; g < size; g += 8) {
        ComplexSample* block = bins + g;
        const Float4 x01_lo = load_samples(block);  // bins g, g + 1
        const Float4 x23_lo = load_samples(block + 2);
        const Float4 x01_hi = load_samples(block + 4);  // bins g + 4, g + 5
        const Float4 x23_hi = load_samples(block + 6);
        ComplexPair x0 = split(low_halves(x01_lo, x01_hi));
        ComplexPair x1 = split(high_halves(x01_lo, x01_hi));
        ComplexPair x2 = split(low_halves(x23_lo, x23_hi));
        ComplexPair x3 = split(high_halves(x23_lo, x23_hi));
        butterfly(x0, x1, stage1);
        butterfly(x2, x3, stage1);
        const StoredPair y02 = butterfly_to_floats(x0, x2, stage2_j0);
        const StoredPair y13 = butterfly_to_floats(x1, x3, stage2_j1);
        const Float4 y0 = y02.a, y1 = y13.a, y2 = y02.b, y3 = y13.b;
        store_samples(block, low_halves(y0, y1));
        store_samples(block + 2, low_halves(y2, y3));
        store_samples(block + 4, high_halves(y0, y1));
        store_samples(block + 6, high_halves(y2, y3));
    }
}

// Stage s (half h) and stage s + 1 (half 2h) together: for each j, the four
// values at g + j + {0, h, 2h, 3h}; lanes hold j and j + 1.
void Ifft::two_stages(ComplexSample* bins, int32_t half) const {
    const int32_t size = fft_size[mode_];
    const float* wr_first = twiddle_re_.data() + half - 1;
    const double* wi_first = twiddle_im_.data() + half - 1;
    const float* wr_second = twiddle_re_.data() + 2 * half - 1;
    const double* wi_second = twiddle_im_.data() + 2 * half - 1;
    for (int32_t g = 0; g < size; g += 4 * half) {
        ComplexSample* x = bins + g;
        for (int32_t j = 0; j < half; j += 2) {
            ComplexPair x0 = load_pair(x + j);
            ComplexPair x1 = load_pair(x + j + half);
            ComplexPair x2 = load_pair(x + j + 2 * half);
            ComplexPair x3 = load_pair(x + j + 3 * half);
            const TwiddlePair first = load_twiddles(wr_first + j, wi_first + j);
            butterfly(x0, x1, first);
            butterfly(x2, x3, first);
            const StoredPair y02 =
                butterfly_to_floats(x0, x2, load_twiddles(wr_second + j, wi_second + j));
            const StoredPair y13 = butterfly_to_floats(
                x1, x3, load_twiddles(wr_second + j + half, wi_second + j + half));
            store_samples(x + j, y02.a);
            store_samples(x + j + half, y13.a);
            store_samples(x + j + 2 * half, y02.b);
            store_samples(x + j + 3 * half, y13.b);
        }
    }
}

// A single stage (half h >= 2), two butterflies at a time.
void Ifft::one_stage(ComplexSample* bins, int32_t half) const {
    const int32_t size = fft_size[mode_];
    const float* wr = twiddle_re_.data() + half - 1;
    const double* wi = twiddle_im_.data() + half - 1;
    for (int32_t g = 0; g < size; g += 2 * half) {
        ComplexSample* x = bins + g;
        for (int32_t j = 0; j < half; j += 2) {
            const StoredPair y = butterfly_to_floats(load_pair(x + j), load_pair(x + j + half),
                                                     load_twiddles(wr + j, wi + j));
            store_samples(x + j, y.a);
            store_samples(x + j + half, y.b);
        }
    }
}

}  // namespace terramod
