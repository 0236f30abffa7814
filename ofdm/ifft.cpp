#include "ofdm/ifft.h"

#include <emmintrin.h>

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
    build_twiddles();
    build_placement();
}

void Ifft::ifft_and_guard(const ComplexSample* input, ComplexSample* output, int32_t count) {
    log_.write(3, "Guarding, IFFTing & prefixing ...");
    const int32_t size = fft_size[mode_];
    const int32_t carriers = carrier_count[mode_];
    const int32_t block = size + guard_length_;
    // Whole symbols only: a trailing partial symbol (outside the driver's
    // sizing) is left alone rather than read past the end of the input.
    for (int32_t c0 = 0, q = 0; c0 + carriers <= count; c0 += carriers, ++q) {
        ComplexSample* symbol = output + static_cast<size_t>(q) * block;
        ComplexSample* bins = symbol + guard_length_;
        place_carriers(input + c0, bins);
        transform(bins);
        std::memcpy(symbol, bins + size - guard_length_, sizeof(ComplexSample) * guard_length_);
    }
    log_.write(3, " done.\n");
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

// Two complex values held as doubles, lane n = value n: the real parts in one
// vector, the imaginary parts in the other. The values are always floats
// (every result of a butterfly is rounded to float).
struct ComplexPair {
    __m128d re, im;
};

// Two twiddles, lane n = twiddle n: the float real part and the double
// imaginary part of the recurrence.
struct TwiddlePair {
    __m128d re, im;
};

inline __m128d round_to_float(__m128d value) {
    return _mm_cvtps_pd(_mm_cvtpd_ps(value));
}

// [x0.re x0.im x1.re x1.im] -> x0 in lane 0, x1 in lane 1.
inline ComplexPair split(__m128 raw) {
    const __m128 grouped = _mm_shuffle_ps(raw, raw, _MM_SHUFFLE(3, 1, 2, 0));
    return {_mm_cvtps_pd(grouped), _mm_cvtps_pd(_mm_movehl_ps(grouped, grouped))};
}

inline ComplexPair load_pair(const ComplexSample* samples) {
    return split(_mm_loadu_ps(&samples->re));
}

// Twiddles j and j + 1 of a stage's table.
inline TwiddlePair load_twiddles(const float* wr, const double* wi) {
    const __m128 re = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(wr)));
    return {_mm_cvtps_pd(re), _mm_loadu_pd(wi)};
}

// The same twiddle in both lanes.
inline TwiddlePair broadcast_twiddle(float wr, double wi) {
    return {_mm_set1_pd(wr), _mm_set1_pd(wi)};
}

// Two butterflies, one per lane, exactly as the recurrence defines them:
//   tr = f32(wr b.re - wi b.im), ti = wi b.re + wr b.im (double),
//   b = f32(a - t), a = f32(t + a).
// SSE2 double lanes give the same bits as scalar double code. The four
// results are left unrounded: the callers round them to float.
struct ButterflyResult {
    __m128d a_re, a_im, b_re, b_im;
};

inline ButterflyResult butterfly_unrounded(const ComplexPair& a, const ComplexPair& b,
                                           const TwiddlePair& w) {
    const __m128d tr = round_to_float(_mm_sub_pd(_mm_mul_pd(w.re, b.re), _mm_mul_pd(w.im, b.im)));
    const __m128d ti = _mm_add_pd(_mm_mul_pd(w.im, b.re), _mm_mul_pd(w.re, b.im));
    return {_mm_add_pd(tr, a.re), _mm_add_pd(ti, a.im), _mm_sub_pd(a.re, tr), _mm_sub_pd(a.im, ti)};
}

// A butterfly whose results feed another one in registers.
inline void butterfly(ComplexPair& a, ComplexPair& b, const TwiddlePair& w) {
    const ButterflyResult r = butterfly_unrounded(a, b, w);
    a = {round_to_float(r.a_re), round_to_float(r.a_im)};
    b = {round_to_float(r.b_re), round_to_float(r.b_im)};
}

// A butterfly whose results go straight back to memory, as floats
// [a.re a.im] and [b.re b.im] per lane.
struct StoredPair {
    __m128 a, b;
};

inline StoredPair butterfly_to_floats(const ComplexPair& a, const ComplexPair& b,
                                      const TwiddlePair& w) {
    const ButterflyResult r = butterfly_unrounded(a, b, w);
    return {_mm_unpacklo_ps(_mm_cvtpd_ps(r.a_re), _mm_cvtpd_ps(r.a_im)),
            _mm_unpacklo_ps(_mm_cvtpd_ps(r.b_re), _mm_cvtpd_ps(r.b_im))};
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
        const __m128 x01_lo = _mm_loadu_ps(&block[0].re);  // bins g, g + 1
        const __m128 x23_lo = _mm_loadu_ps(&block[2].re);
        const __m128 x01_hi = _mm_loadu_ps(&block[4].re);  // bins g + 4, g + 5
        const __m128 x23_hi = _mm_loadu_ps(&block[6].re);
        ComplexPair x0 = split(_mm_movelh_ps(x01_lo, x01_hi));
        ComplexPair x1 = split(_mm_movehl_ps(x01_hi, x01_lo));
        ComplexPair x2 = split(_mm_movelh_ps(x23_lo, x23_hi));
        ComplexPair x3 = split(_mm_movehl_ps(x23_hi, x23_lo));
        butterfly(x0, x1, stage1);
        butterfly(x2, x3, stage1);
        const StoredPair y02 = butterfly_to_floats(x0, x2, stage2_j0);
        const StoredPair y13 = butterfly_to_floats(x1, x3, stage2_j1);
        const __m128 y0 = y02.a, y1 = y13.a, y2 = y02.b, y3 = y13.b;
        _mm_storeu_ps(&block[0].re, _mm_movelh_ps(y0, y1));
        _mm_storeu_ps(&block[2].re, _mm_movelh_ps(y2, y3));
        _mm_storeu_ps(&block[4].re, _mm_movehl_ps(y1, y0));
        _mm_storeu_ps(&block[6].re, _mm_movehl_ps(y3, y2));
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
            _mm_storeu_ps(&x[j].re, y02.a);
            _mm_storeu_ps(&x[j + half].re, y13.a);
            _mm_storeu_ps(&x[j + 2 * half].re, y02.b);
            _mm_storeu_ps(&x[j + 3 * half].re, y13.b);
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
            _mm_storeu_ps(&x[j].re, y.a);
            _mm_storeu_ps(&x[j + half].re, y.b);
        }
    }
}

}  // namespace terramod
