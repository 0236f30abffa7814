// The portable kernel set of simd_kernels.h: two-lane double vectors (simd.h),
// and the choice among the sets.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>

#include "ofdm/simd.h"
#include "ofdm/simd_kernels.h"

namespace terramod {

#if defined(TERRAMOD_HAVE_HIGHWAY)
// simd_highway.cpp
std::vector<const SimdKernels*> highway_kernels();
const SimdKernels& highway_best_kernels();
#endif

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
inline TwiddlePair load_twiddles(const double* wr, const double* wi) {
    return {simd::load_double2(wr), simd::load_double2(wi)};
}

// The same twiddle in both lanes.
inline TwiddlePair broadcast_twiddle(double wr, double wi) {
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

// The placement and stages 1 and 2, kPlacementChunk positions at a time; the
// stages on each block of four bins, lane 0 holding block g, lane 1 block
// g + 4.
void first_two_stages(const ComplexSample* cells, const int32_t* gather, ComplexSample* bins,
                      int32_t size, const double* wr, const double* wi) {
    const TwiddlePair stage1 = broadcast_twiddle(wr[0], wi[0]);
    const TwiddlePair stage2_j0 = broadcast_twiddle(wr[1], wi[1]);
    const TwiddlePair stage2_j1 = broadcast_twiddle(wr[2], wi[2]);
    for (int32_t chunk = 0; chunk < size; chunk += kPlacementChunk) {
        const int32_t end = std::min(chunk + kPlacementChunk, size);
        place_groups(cells, gather, chunk, end, bins);
        for (int32_t g = chunk; g < end; g += 8) {
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
}

// Stage s (half h) and stage s + 1 (half 2h) together: for each j, the four
// values at g + j + {0, h, 2h, 3h}; lanes hold j and j + 1.
void two_stages(ComplexSample* bins, int32_t size, int32_t half, const double* wr_first,
                const double* wi_first) {
    const double* wr_second = wr_first + half;
    const double* wi_second = wi_first + half;
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
void one_stage(ComplexSample* bins, int32_t size, int32_t half, const double* wr,
               const double* wi) {
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

// sum = f32(h x sample + sum) for one complex sample, in both lanes.
inline Double2 accumulate(Double2 sum, Double2 tap, const double* sample) {
    return simd::round_to_float(tap * simd::load_double2(sample) + sum);
}

inline void store_sample(ComplexSample* destination, Double2 value) {
    simd::store_narrowed(&destination->re, value);
}

void interpolate_branch(const double* newest, int32_t samples, const double* h, int32_t taps,
                        int32_t stride, ComplexSample* out) {
    int32_t j = 0;
    // Eight output samples at a time: eight independent sums hide the latency
    // of the per-tap rounding; the taps are added in order k = 0, 1, ...
    for (; j + 8 <= samples; j += 8) {
        Double2 sum[8] = {};
        for (int32_t k = 0; k < taps; ++k) {
            const Double2 tap = simd::broadcast(h[k]);
            const double* x = newest + 2 * (j - k);
            for (int32_t n = 0; n < 8; ++n) sum[n] = accumulate(sum[n], tap, x + 2 * n);
        }
        for (int32_t n = 0; n < 8; ++n) store_sample(out + stride * (j + n), sum[n]);
    }
    for (; j < samples; ++j) {
        Double2 sum = {};
        for (int32_t k = 0; k < taps; ++k) {
            sum = accumulate(sum, simd::broadcast(h[k]), newest + 2 * (j - k));
        }
        store_sample(out + stride * j, sum);
    }
}

// The fast arithmetic's kernels (fast_ifft.h) as plain float code, one
// butterfly or output at a time: the compiler may vectorise the loops, which
// changes no bit (no fused operations, no reassociation without -ffast-math).

struct FloatComplex {
    float re, im;
};

// p x.
inline FloatComplex fast_product(const float* p, int32_t length, int32_t n1, FloatComplex x) {
    const float pr = p[n1], pi = p[length + n1];
    return {pr * x.re - pi * x.im, pr * x.im + pi * x.re};
}

// The radix-4 butterfly of x0 and the products t1, t2, t3 in x[1..3]: the
// outputs y0 .. y3 in x[0..3].
inline void fast_radix4(FloatComplex (&x)[4]) {
    const float ar = x[0].re + x[2].re, ai = x[0].im + x[2].im;
    const float br = x[0].re - x[2].re, bi = x[0].im - x[2].im;
    const float cr = x[1].re + x[3].re, ci = x[1].im + x[3].im;
    const float dr = x[1].re - x[3].re, di = x[1].im - x[3].im;
    x[0] = {ar + cr, ai + ci};
    x[1] = {br - di, bi + dr};
    x[2] = {ar - cr, ai - ci};
    x[3] = {br + di, bi - dr};
}

// Real and imaginary parts of N values.
struct SplitBuffer {
    float* re;
    float* im;
};

// A radix-4 level from `from` to `to`.
void fast_level(const FastLevel& level, int32_t size, SplitBuffer from, SplitBuffer to) {
    const int32_t length = level.length;
    const int32_t left = size / (4 * length);  // B'
    const float* w = level.twiddles;
    for (int32_t n1 = 0; n1 < length; ++n1) {
        for (int32_t b = 0; b < left; ++b) {
            FloatComplex x[4];
            for (int32_t q = 0; q < 4; ++q) {
                const int32_t at = 4 * left * n1 + left * q + b;
                x[q] = {from.re[at], from.im[at]};
            }
            x[1] = fast_product(w, length, n1, x[1]);
            x[2] = fast_product(w + 2 * length, length, n1, x[2]);
            x[3] = fast_product(w + 4 * length, length, n1, x[3]);
            fast_radix4(x);
            for (int32_t n2 = 0; n2 < 4; ++n2) {
                const int32_t at = (n1 + length * n2) * left + b;
                to.re[at] = x[n2].re;
                to.im[at] = x[n2].im;
            }
        }
    }
}

void fast_transform(ComplexSample* samples, const FastTransformPlan& plan, float* scratch) {
    const int32_t size = plan.size;
    const int32_t quarter = size / 4;
    SplitBuffer from = {scratch, scratch + size};
    SplitBuffer to = {scratch + 2 * size, scratch + 3 * size};
    // The first level, from the bins.
    for (int32_t b = 0; b < quarter; ++b) {
        FloatComplex x[4];
        for (int32_t q = 0; q < 4; ++q)
            x[q] = {samples[b + quarter * q].re, samples[b + quarter * q].im};
        fast_radix4(x);
        for (int32_t n2 = 0; n2 < 4; ++n2) {
            from.re[quarter * n2 + b] = x[n2].re;
            from.im[quarter * n2 + b] = x[n2].im;
        }
    }
    for (int32_t i = 0; i + 1 < plan.level_count; ++i) {
        fast_level(plan.levels[i], size, from, to);
        std::swap(from, to);
    }
    // The radix-2 level, one sequence left, to the samples.
    const FastLevel& last = plan.levels[plan.level_count - 1];
    for (int32_t n1 = 0; n1 < last.length; ++n1) {
        const FloatComplex x0 = {from.re[2 * n1], from.im[2 * n1]};
        const FloatComplex t = fast_product(last.twiddles, last.length, n1,
                                            {from.re[2 * n1 + 1], from.im[2 * n1 + 1]});
        samples[n1] = {x0.re + t.re, x0.im + t.im};
        samples[n1 + last.length] = {x0.re - t.re, x0.im - t.im};
    }
}

void fast_interpolate(const float* newest, int32_t samples, const float* taps,
                      const int32_t* counts, int32_t factor, ComplexSample* out) {
    for (int32_t j = 0; j < samples; ++j) {
        for (int32_t r = 0; r < factor; ++r) {
            const float* h = taps + 16 * r;
            float re = h[0] * newest[2 * j];
            float im = h[0] * newest[2 * j + 1];
            for (int32_t k = 1; k < counts[r]; ++k) {
                re = re + h[k] * newest[2 * (j - k)];
                im = im + h[k] * newest[2 * (j - k) + 1];
            }
            out[factor * j + r] = {re, im};
        }
    }
}

bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

const SimdKernels& portable_kernels() {
    static const SimdKernels kernels = {"portable",      first_two_stages,   two_stages,
                                        one_stage,       interpolate_branch, fast_transform,
                                        fast_interpolate};
    return kernels;
}

const SimdKernels& best_kernels() {
#if defined(TERRAMOD_HAVE_HIGHWAY)
    return highway_best_kernels();
#else
    return portable_kernels();
#endif
}

std::vector<const SimdKernels*> available_kernels() {
    std::vector<const SimdKernels*> sets = {&portable_kernels()};
#if defined(TERRAMOD_HAVE_HIGHWAY)
    // Highway's one-lane target stands in with the portable set: list it once.
    for (const SimdKernels* set : highway_kernels())
        if (set != &portable_kernels()) sets.push_back(set);
#endif
    return sets;
}

const SimdKernels* kernels_named(std::string_view name) {
    // The portable set is SSE2 code on x86-64 (Highway has no SSE2 target).
    if (same_name(name, "generic") || same_name(name, "sse2")) return &portable_kernels();
    for (const SimdKernels* set : available_kernels())
        if (same_name(name, set->name)) return set;
    return nullptr;
}

const SimdKernels* kernels_from_environment() {
    const char* name = std::getenv(kSimdEnvironmentVariable);
    if (name == nullptr || *name == 0) return &best_kernels();
    return kernels_named(name);
}

}  // namespace terramod
