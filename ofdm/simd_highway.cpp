// The transform and interpolator kernels of simd_kernels.h for every Highway
// target, compiled once per target (foreach_target.h) and chosen at run time.
// Each lane gives the bits one lane of the portable code gives: Mul then
// Add/Sub (never MulAdd, which may fuse; the build's -ffp-contract=off keeps
// the compiler from fusing them too), rounding to float by a demotion at the
// same points. The transform's real parts stay floats between the points
// where they are multiplied, which is exact (see MixedComplex).
#if defined(TERRAMOD_HAVE_HIGHWAY)

#include <cstring>
#include <utility>

#include "dvbt/dvbt.h"
#include "ofdm/simd_kernels.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ofdm/simd_highway.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace terramod {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane is no gain over the portable two-lane set, which stands in for it.
const SimdKernels* KernelsOfTarget() {
    return &portable_kernels();
}

#else

// Complex values of consecutive bins, lane n = value n, as doubles.
template <class D>
struct Complex {
    hn::VFromD<D> re, im;
};

template <class D>
HWY_INLINE hn::VFromD<D> RoundToFloat(D d, hn::VFromD<D> value) {
    const hn::Rebind<float, D> df;
    return hn::PromoteTo(d, hn::DemoteTo(df, value));
}

// The transform keeps its real parts as floats and only its imaginary parts
// as doubles. Every real part of a butterfly is a float sum or difference:
// tr is rounded to float before it is added, and b.re = f32(a.re - tr),
// a.re = f32(tr + a.re) add two floats in double and round to float. That is
// exactly the float addition of the same two floats: a double holds
// 53 >= 2 * 24 + 2 bits, so rounding the double sum again to float gives the
// correctly rounded float sum (no double rounding error). The edge cases
// agree as well: the exact sum of two floats never overflows a double, so a
// float overflow gives the same infinity either way; a tiny sum is exact in
// both (floats and their sums are multiples of 2^-149), subnormals included
// (no flush to zero is set); an exact zero is -0 only when both terms are -0
// (x - y: x is -0 and y +0) under round to nearest in both precisions; and a
// NaN operand comes back as the same quiet NaN, as widening and narrowing
// keep its payload, while inf - inf gives the default NaN in both. So the real
// parts need widening only where they are multiplied (the b of a butterfly).
// The imaginary parts cannot stay floats: ti is a double.
template <class D>
struct MixedComplex {
    hn::VFromD<hn::Rebind<float, D> > re;
    hn::VFromD<D> im;
};

template <class D>
HWY_INLINE MixedComplex<D> LoadComplex(D d, const ComplexSample* samples) {
    const hn::Rebind<float, D> df;
    hn::VFromD<decltype(df)> re, im;
    hn::LoadInterleaved2(df, &samples->re, re, im);
    return {re, hn::PromoteTo(d, im)};
}

// re already a float; im rounded to float.
template <class D>
HWY_INLINE void StoreComplex(D d, hn::VFromD<hn::Rebind<float, D> > re, hn::VFromD<D> im,
                             ComplexSample* samples) {
    const hn::Rebind<float, D> df;
    hn::StoreInterleaved2(re, hn::DemoteTo(df, im), df, &samples->re);
}

// Twiddles j .. j + lanes - 1 (the real parts are floats held as doubles).
template <class D>
HWY_INLINE Complex<D> LoadTwiddles(D d, const double* wr, const double* wi) {
    return {hn::LoadU(d, wr), hn::LoadU(d, wi)};
}

template <class D>
HWY_INLINE Complex<D> BroadcastTwiddle(D d, double wr, double wi) {
    return {hn::Set(d, wr), hn::Set(d, wi)};
}

// The real parts rounded (floats), the imaginary parts not yet.
template <class D>
struct ButterflyResult {
    hn::VFromD<hn::Rebind<float, D> > a_re;
    hn::VFromD<D> a_im;
    hn::VFromD<hn::Rebind<float, D> > b_re;
    hn::VFromD<D> b_im;
};

// tr = f32(wr b.re - wi b.im), ti = wi b.re + wr b.im; a + t and a - t, the
// real parts as float operations (see MixedComplex), the imaginary parts left
// unrounded for the caller. The operands keep the order of the double code.
template <class D>
HWY_INLINE ButterflyResult<D> ButterflyUnrounded(D d, const MixedComplex<D>& a,
                                                 const MixedComplex<D>& b, const Complex<D>& w) {
    const hn::Rebind<float, D> df;
    const auto b_re = hn::PromoteTo(d, b.re);
    const auto tr = hn::DemoteTo(df, hn::Sub(hn::Mul(w.re, b_re), hn::Mul(w.im, b.im)));
    const auto ti = hn::Add(hn::Mul(w.im, b_re), hn::Mul(w.re, b.im));
    return {hn::Add(tr, a.re), hn::Add(ti, a.im), hn::Sub(a.re, tr), hn::Sub(a.im, ti)};
}

template <class D>
HWY_INLINE void Butterfly(D d, MixedComplex<D>& a, MixedComplex<D>& b, const Complex<D>& w) {
    const ButterflyResult<D> r = ButterflyUnrounded(d, a, b, w);
    a = {r.a_re, RoundToFloat(d, r.a_im)};
    b = {r.b_re, RoundToFloat(d, r.b_im)};
}

// Stages h and 2h on the four values at g + j + {0, h, 2h, 3h}; lanes hold
// consecutive j, so the tag's lane count must not exceed h.
template <class D>
HWY_INLINE void TwoStagesWith(D d, ComplexSample* bins, int32_t size, int32_t half,
                              const double* wr, const double* wi) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const double* wr_second = wr + half;
    const double* wi_second = wi + half;
    for (int32_t g = 0; g < size; g += 4 * half) {
        ComplexSample* x = bins + g;
        for (int32_t j = 0; j < half; j += lanes) {
            MixedComplex<D> x0 = LoadComplex(d, x + j);
            MixedComplex<D> x1 = LoadComplex(d, x + j + half);
            MixedComplex<D> x2 = LoadComplex(d, x + j + 2 * half);
            MixedComplex<D> x3 = LoadComplex(d, x + j + 3 * half);
            const Complex<D> first = LoadTwiddles(d, wr + j, wi + j);
            Butterfly(d, x0, x1, first);
            Butterfly(d, x2, x3, first);
            const ButterflyResult<D> y02 =
                ButterflyUnrounded(d, x0, x2, LoadTwiddles(d, wr_second + j, wi_second + j));
            const ButterflyResult<D> y13 = ButterflyUnrounded(
                d, x1, x3, LoadTwiddles(d, wr_second + j + half, wi_second + j + half));
            StoreComplex(d, y02.a_re, y02.a_im, x + j);
            StoreComplex(d, y13.a_re, y13.a_im, x + j + half);
            StoreComplex(d, y02.b_re, y02.b_im, x + j + 2 * half);
            StoreComplex(d, y13.b_re, y13.b_im, x + j + 3 * half);
        }
    }
}

void TwoStages(ComplexSample* bins, int32_t size, int32_t half, const double* wr,
               const double* wi) {
    const hn::ScalableTag<double> d;
    if (static_cast<size_t>(half) >= hn::Lanes(d))
        return TwoStagesWith(d, bins, size, half, wr, wi);
    TwoStagesWith(hn::CappedTag<double, 4>(), bins, size, half, wr, wi);
}

template <class D>
HWY_INLINE void OneStageWith(D d, ComplexSample* bins, int32_t size, int32_t half, const double* wr,
                             const double* wi) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    for (int32_t g = 0; g < size; g += 2 * half) {
        ComplexSample* x = bins + g;
        for (int32_t j = 0; j < half; j += lanes) {
            const ButterflyResult<D> y =
                ButterflyUnrounded(d, LoadComplex(d, x + j), LoadComplex(d, x + j + half),
                                   LoadTwiddles(d, wr + j, wi + j));
            StoreComplex(d, y.a_re, y.a_im, x + j);
            StoreComplex(d, y.b_re, y.b_im, x + j + half);
        }
    }
}

void OneStage(ComplexSample* bins, int32_t size, int32_t half, const double* wr, const double* wi) {
    const hn::ScalableTag<double> d;
    if (static_cast<size_t>(half) >= hn::Lanes(d)) return OneStageWith(d, bins, size, half, wr, wi);
    OneStageWith(hn::CappedTag<double, 4>(), bins, size, half, wr, wi);
}

// Position k of the blocks of a group of the placement table (kGatherBlocks),
// one block per lane, gathered from the cells; an unused bin as +0.0.
template <class D>
HWY_INLINE MixedComplex<D> GatherComplex(D d, const ComplexSample* cells, const int32_t* cell_of) {
    const hn::Rebind<float, D> df;
    const hn::Rebind<int32_t, D> di;
    const auto cell = hn::LoadU(di, cell_of);
    const auto used = hn::Gt(cell, hn::Set(di, -1));
    const auto offset = hn::ShiftLeft<1>(hn::IfThenElseZero(used, cell));  // in floats
    const auto used_f = hn::RebindMask(df, used);
    const float* parts = &cells->re;
    return {hn::IfThenElseZero(used_f, hn::GatherIndex(df, parts, offset)),
            hn::PromoteTo(d, hn::IfThenElseZero(used_f, hn::GatherIndex(df, parts + 1, offset)))};
}

// A float real part and a double imaginary part joined into the 64-bit words
// of complex samples (re in the low half, as in memory).
template <class D, class DU>
HWY_INLINE hn::VFromD<DU> JoinWords(D d, DU du, hn::VFromD<hn::Rebind<float, D> > re,
                                    hn::VFromD<D> im) {
    const hn::Rebind<float, D> df;
    const hn::Rebind<uint32_t, D> du32;
    const auto re_bits = hn::PromoteTo(du, hn::BitCast(du32, re));
    const auto im_bits = hn::PromoteTo(du, hn::BitCast(du32, hn::DemoteTo(df, im)));
    return hn::Or(re_bits, hn::ShiftLeft<32>(im_bits));
}

// Stages 1 and 2 on the four positions k of blocks, one block per lane; the
// results stored as the blocks' bins, at `words`.
template <class D, class DU>
HWY_INLINE void FirstTwoStagesOnBlocks(D d, DU du, const MixedComplex<D> (&x)[4],
                                       const Complex<D> (&w)[3], uint64_t* words) {
    MixedComplex<D> x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
    Butterfly(d, x0, x1, w[0]);
    Butterfly(d, x2, x3, w[0]);
    const auto y02 = ButterflyUnrounded(d, x0, x2, w[1]);
    const auto y13 = ButterflyUnrounded(d, x1, x3, w[2]);
    hn::StoreInterleaved4(
        JoinWords(d, du, y02.a_re, y02.a_im), JoinWords(d, du, y13.a_re, y13.a_im),
        JoinWords(d, du, y02.b_re, y02.b_im), JoinWords(d, du, y13.b_re, y13.b_im), du, words);
}

#if HWY_TARGET <= HWY_AVX3

// The placement and stages 1 and 2; lane n holds block n0 + n of a group of
// the placement table, gathered straight from the cells, so that the bins
// are written once. (On AVX2 the gathers were slower than placing the
// samples one by one.) At most kGatherBlocks lanes, a power of two.
void FirstTwoStages(const ComplexSample* cells, const int32_t* gather, ComplexSample* bins,
                    int32_t size, const double* wr, const double* wi) {
    using D = hn::CappedTag<double, kGatherBlocks>;
    const D d;
    const hn::Rebind<uint64_t, D> du;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const Complex<D> w[3] = {BroadcastTwiddle(d, wr[0], wi[0]), BroadcastTwiddle(d, wr[1], wi[1]),
                             BroadcastTwiddle(d, wr[2], wi[2])};
    for (int32_t g = 0; g < size; g += 4 * kGatherBlocks) {
        for (int32_t n0 = 0; n0 < kGatherBlocks; n0 += lanes) {
            const int32_t* cell_of = gather + g + n0;
            const MixedComplex<D> x[4] = {GatherComplex(d, cells, cell_of),
                                          GatherComplex(d, cells, cell_of + kGatherBlocks),
                                          GatherComplex(d, cells, cell_of + 2 * kGatherBlocks),
                                          GatherComplex(d, cells, cell_of + 3 * kGatherBlocks)};
            FirstTwoStagesOnBlocks(d, du, x, w, reinterpret_cast<uint64_t*>(bins + g + 4 * n0));
        }
    }
}

#else

// A vector of complex samples held as 64-bit words (re in the low half, as in
// memory) split into float real parts and double imaginary parts.
template <class D, class DU>
HWY_INLINE MixedComplex<D> SplitWords(D d, DU, hn::VFromD<DU> words) {
    const hn::Repartition<float, DU> df2;
    const hn::Rebind<float, D> df;
    const auto floats = hn::BitCast(df2, words);
    return {hn::LowerHalf(df, hn::ConcatEven(df2, floats, floats)),
            hn::PromoteTo(d, hn::LowerHalf(df, hn::ConcatOdd(df2, floats, floats)))};
}

// The placement, kPlacementChunk positions at a time, then stages 1 and 2 on
// them; lane n holds block n of the vector's blocks.
void FirstTwoStages(const ComplexSample* cells, const int32_t* gather, ComplexSample* bins,
                    int32_t size, const double* wr, const double* wi) {
    using D = hn::ScalableTag<double>;
    const D d;
    const hn::Rebind<uint64_t, D> du;
    const int32_t group = 4 * static_cast<int32_t>(hn::Lanes(d));
    const Complex<D> w[3] = {BroadcastTwiddle(d, wr[0], wi[0]), BroadcastTwiddle(d, wr[1], wi[1]),
                             BroadcastTwiddle(d, wr[2], wi[2])};
    for (int32_t chunk = 0; chunk < size; chunk += kPlacementChunk) {
        const int32_t end = HWY_MIN(chunk + kPlacementChunk, size);
        place_groups(cells, gather, chunk, end, bins);
        for (int32_t g = chunk; g < end; g += group) {
            uint64_t* words = reinterpret_cast<uint64_t*>(bins + g);
            hn::VFromD<hn::Rebind<uint64_t, D> > w0, w1, w2, w3;
            hn::LoadInterleaved4(du, words, w0, w1, w2, w3);
            const MixedComplex<D> x[4] = {SplitWords(d, du, w0), SplitWords(d, du, w1),
                                          SplitWords(d, du, w2), SplitWords(d, du, w3)};
            FirstTwoStagesOnBlocks(d, du, x, w, words);
        }
    }
}

#endif  // HWY_TARGET <= HWY_AVX3

// Interleaved [re im] doubles: a vector holds lanes / 2 complex samples.
template <class D>
HWY_INLINE void StoreStrided(D d, hn::VFromD<D> sum, ComplexSample* out, int32_t stride) {
    const hn::Rebind<float, D> df;
    constexpr size_t kMaxFloats = HWY_MAX_BYTES / sizeof(double);
    HWY_ALIGN float narrowed[kMaxFloats];
    hn::Store(hn::DemoteTo(df, sum), df, narrowed);
    const size_t samples = hn::Lanes(d) / 2;
    for (size_t i = 0; i < samples; ++i)
        std::memcpy(out + static_cast<size_t>(stride) * i, narrowed + 2 * i, sizeof(ComplexSample));
}

void InterpolateBranch(const double* newest, int32_t samples, const double* h, int32_t taps,
                       int32_t stride, ComplexSample* out) {
    using D = hn::ScalableTag<double>;
    const D d;
    const int32_t per_vector = static_cast<int32_t>(hn::Lanes(d) / 2);
    constexpr int32_t kSums = 8;  // independent sums hide the per-tap rounding latency
    int32_t j = 0;
    for (; per_vector >= 1 && j + kSums * per_vector <= samples; j += kSums * per_vector) {
        hn::VFromD<D> sum[kSums];
        for (int32_t n = 0; n < kSums; ++n) sum[n] = hn::Zero(d);
        for (int32_t k = 0; k < taps; ++k) {
            const auto tap = hn::Set(d, h[k]);
            const double* x = newest + 2 * (j - k);
            for (int32_t n = 0; n < kSums; ++n) {
                const auto product = hn::Mul(tap, hn::LoadU(d, x + 2 * per_vector * n));
                sum[n] = RoundToFloat(d, hn::Add(product, sum[n]));
            }
        }
        for (int32_t n = 0; n < kSums; ++n)
            StoreStrided(d, sum[n], out + static_cast<size_t>(stride) * (j + per_vector * n),
                         stride);
    }
    const hn::CappedTag<double, 2> d1;  // one complex sample
    for (; j < samples; ++j) {
        auto sum = hn::Zero(d1);
        for (int32_t k = 0; k < taps; ++k) {
            const auto product = hn::Mul(hn::Set(d1, h[k]), hn::LoadU(d1, newest + 2 * (j - k)));
            sum = RoundToFloat(d1, hn::Add(product, sum));
        }
        StoreStrided(d1, sum, out + static_cast<size_t>(stride) * j, stride);
    }
}

// The fast arithmetic (fast_ifft.h): float lanes, each the float operation
// of the portable code, Mul then Add/Sub (never MulAdd); the real and
// imaginary parts of the transform in separate vectors.

template <class D>
struct FloatComplex {
    hn::VFromD<D> re, im;
};

template <class D>
HWY_INLINE FloatComplex<D> LoadFloatComplex(D d, const float* re, const float* im) {
    return {hn::LoadU(d, re), hn::LoadU(d, im)};
}

// p x = (pr xr - pi xi, pr xi + pi xr).
template <class D>
HWY_INLINE FloatComplex<D> FastProduct(const FloatComplex<D>& p, const FloatComplex<D>& x) {
    return {hn::Sub(hn::Mul(p.re, x.re), hn::Mul(p.im, x.im)),
            hn::Add(hn::Mul(p.re, x.im), hn::Mul(p.im, x.re))};
}

// The radix-4 butterfly of x0 and the products t1, t2, t3 in x[1..3]: the
// outputs y0 .. y3 in x[0..3].
template <class D>
HWY_INLINE void FastRadix4(FloatComplex<D> (&x)[4]) {
    const auto ar = hn::Add(x[0].re, x[2].re), ai = hn::Add(x[0].im, x[2].im);
    const auto br = hn::Sub(x[0].re, x[2].re), bi = hn::Sub(x[0].im, x[2].im);
    const auto cr = hn::Add(x[1].re, x[3].re), ci = hn::Add(x[1].im, x[3].im);
    const auto dr = hn::Sub(x[1].re, x[3].re), di = hn::Sub(x[1].im, x[3].im);
    x[0] = {hn::Add(ar, cr), hn::Add(ai, ci)};
    x[1] = {hn::Sub(br, di), hn::Add(bi, dr)};
    x[2] = {hn::Sub(ar, cr), hn::Sub(ai, ci)};
    x[3] = {hn::Add(br, di), hn::Sub(bi, dr)};
}

// t1 = v x1, t2 = v^2 x2, t3 = v^3 x3, then the butterfly.
template <class D>
HWY_INLINE void FastTwiddledRadix4(const FloatComplex<D> (&v)[3], FloatComplex<D> (&x)[4]) {
    x[1] = FastProduct(v[0], x[1]);
    x[2] = FastProduct(v[1], x[2]);
    x[3] = FastProduct(v[2], x[3]);
    FastRadix4(x);
}

// Real and imaginary parts of N values.
struct SplitBuffer {
    float* re;
    float* im;
};

// A radix-4 level with B' >= the tag's lanes sequences left: lanes hold
// consecutive sequences b, the twiddles (of n1) are the same in all.
template <class D>
HWY_INLINE void FastLevelWith(D d, const FastLevel& level, int32_t size, SplitBuffer from,
                              SplitBuffer to) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t length = level.length;
    const int32_t left = size / (4 * length);
    const float* w = level.twiddles;
    for (int32_t n1 = 0; n1 < length; ++n1) {
        FloatComplex<D> v[3];
        for (int32_t q = 0; q < 3; ++q)
            v[q] = {hn::Set(d, w[2 * q * length + n1]), hn::Set(d, w[(2 * q + 1) * length + n1])};
        const int32_t in = 4 * left * n1;
        for (int32_t b = 0; b < left; b += lanes) {
            FloatComplex<D> x[4];
            for (int32_t q = 0; q < 4; ++q)
                x[q] =
                    LoadFloatComplex(d, from.re + in + left * q + b, from.im + in + left * q + b);
            FastTwiddledRadix4(v, x);
            for (int32_t n2 = 0; n2 < 4; ++n2) {
                const int32_t out = (n1 + length * n2) * left + b;
                hn::StoreU(x[n2].re, d, to.re + out);
                hn::StoreU(x[n2].im, d, to.im + out);
            }
        }
    }
}

// v^q of n1 .. n1 + lanes / 2 - 1, each in two neighbouring lanes.
template <class D>
HWY_INLINE hn::VFromD<D> LoadTwiceEach(D d, const float* values) {
    const hn::Repartition<uint64_t, D> du;
    const hn::Rebind<uint32_t, decltype(du)> du32;
    const auto wide = hn::PromoteTo(du, hn::LoadU(du32, reinterpret_cast<const uint32_t*>(values)));
    return hn::BitCast(d, hn::Or(wide, hn::ShiftLeft<32>(wide)));
}

// The radix-4 level with two sequences left (B' = 2): lanes hold the two
// sequences of consecutive n1, whose inputs are 64-bit words four apart
// (LoadInterleaved4 of words).
template <class D>
HWY_INLINE void FastPairsLevelWith(D d, const FastLevel& level, SplitBuffer from, SplitBuffer to) {
    const hn::Repartition<uint64_t, D> du;
    const int32_t per_vector = static_cast<int32_t>(hn::Lanes(d) / 2);
    const int32_t length = level.length;
    const float* w = level.twiddles;
    for (int32_t n1 = 0; n1 < length; n1 += per_vector) {
        FloatComplex<D> v[3];
        for (int32_t q = 0; q < 3; ++q)
            v[q] = {LoadTwiceEach(d, w + 2 * q * length + n1),
                    LoadTwiceEach(d, w + (2 * q + 1) * length + n1)};
        FloatComplex<D> x[4];
        hn::VFromD<decltype(du)> u[4];
        hn::LoadInterleaved4(du, reinterpret_cast<const uint64_t*>(from.re + 8 * n1), u[0], u[1],
                             u[2], u[3]);
        for (int32_t q = 0; q < 4; ++q) x[q].re = hn::BitCast(d, u[q]);
        hn::LoadInterleaved4(du, reinterpret_cast<const uint64_t*>(from.im + 8 * n1), u[0], u[1],
                             u[2], u[3]);
        for (int32_t q = 0; q < 4; ++q) x[q].im = hn::BitCast(d, u[q]);
        FastTwiddledRadix4(v, x);
        for (int32_t n2 = 0; n2 < 4; ++n2) {
            hn::StoreU(x[n2].re, d, to.re + 2 * (n1 + length * n2));
            hn::StoreU(x[n2].im, d, to.im + 2 * (n1 + length * n2));
        }
    }
}

void FastLevelOn(const FastLevel& level, int32_t size, SplitBuffer from, SplitBuffer to) {
    const hn::ScalableTag<float> d;
    const size_t left = static_cast<size_t>(size / (4 * level.length));
    if (left == 2) return FastPairsLevelWith(d, level, from, to);
    if (left >= hn::Lanes(d)) return FastLevelWith(d, level, size, from, to);
    if (left >= 8) return FastLevelWith(hn::CappedTag<float, 8>(), level, size, from, to);
    FastLevelWith(hn::CappedTag<float, 4>(), level, size, from, to);
}

// The radix-2 level, one sequence left: lanes hold consecutive n1, whose two
// inputs are neighbours (LoadInterleaved2); the samples go out interleaved.
template <class D>
HWY_INLINE void FastLastLevelWith(D d, const FastLevel& level, SplitBuffer from,
                                  ComplexSample* out) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t length = level.length;
    const float* w = level.twiddles;
    for (int32_t n1 = 0; n1 < length; n1 += lanes) {
        FloatComplex<D> x0, x1;
        hn::LoadInterleaved2(d, from.re + 2 * n1, x0.re, x1.re);
        hn::LoadInterleaved2(d, from.im + 2 * n1, x0.im, x1.im);
        const FloatComplex<D> t = FastProduct(LoadFloatComplex(d, w + n1, w + length + n1), x1);
        hn::StoreInterleaved2(hn::Add(x0.re, t.re), hn::Add(x0.im, t.im), d, &out[n1].re);
        hn::StoreInterleaved2(hn::Sub(x0.re, t.re), hn::Sub(x0.im, t.im), d, &out[n1 + length].re);
    }
}

// The first level (radix 4, no twiddles) from the bins (interleaved).
template <class D>
HWY_INLINE void FastFirstLevelWith(D d, const ComplexSample* bins, int32_t size, SplitBuffer to) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t quarter = size / 4;
    for (int32_t b = 0; b < quarter; b += lanes) {
        FloatComplex<D> x[4];
        for (int32_t q = 0; q < 4; ++q)
            hn::LoadInterleaved2(d, &bins[b + quarter * q].re, x[q].re, x[q].im);
        FastRadix4(x);
        for (int32_t n2 = 0; n2 < 4; ++n2) {
            hn::StoreU(x[n2].re, d, to.re + quarter * n2 + b);
            hn::StoreU(x[n2].im, d, to.im + quarter * n2 + b);
        }
    }
}

void FastTransform(ComplexSample* samples, const FastTransformPlan& plan, float* scratch) {
    const int32_t size = plan.size;
    SplitBuffer from = {scratch, scratch + size};
    SplitBuffer to = {scratch + 2 * size, scratch + 3 * size};
    const hn::ScalableTag<float> d;
    // The sizes are at least 2048: whole vectors in the first and the last
    // level.
    FastFirstLevelWith(d, samples, size, from);
    for (int32_t i = 0; i + 1 < plan.level_count; ++i) {
        FastLevelOn(plan.levels[i], size, from, to);
        std::swap(from, to);
    }
    FastLastLevelWith(d, plan.levels[plan.level_count - 1], from, samples);
}

// The outputs of `Vectors` vectors of inputs j .. (each lanes / 2 complex
// samples), every phase's sum in its own vector, stored interleaved by phase.
template <int32_t kFactor, int32_t kVectors, class D>
HWY_INLINE void FastInterpolateVectors(D d, const float* newest, int32_t j, const float* taps,
                                       const int32_t* counts, ComplexSample* out) {
    const hn::Repartition<uint64_t, D> du;
    const int32_t per_vector = static_cast<int32_t>(hn::Lanes(d) / 2);
    hn::VFromD<D> sum[kVectors][kFactor];
    for (int32_t v = 0; v < kVectors; ++v) {
        const auto x = hn::LoadU(d, newest + 2 * (j + per_vector * v));
        for (int32_t r = 0; r < kFactor; ++r) sum[v][r] = hn::Mul(hn::Set(d, taps[16 * r]), x);
    }
    for (int32_t k = 1; k < 16; ++k) {
        for (int32_t v = 0; v < kVectors; ++v) {
            const auto x = hn::LoadU(d, newest + 2 * (j + per_vector * v - k));
            for (int32_t r = 0; r < kFactor; ++r) {
                if (k >= counts[r]) continue;
                sum[v][r] = hn::Add(sum[v][r], hn::Mul(hn::Set(d, taps[16 * r + k]), x));
            }
        }
    }
    for (int32_t v = 0; v < kVectors; ++v) {
        uint64_t* words = reinterpret_cast<uint64_t*>(out + kFactor * (j + per_vector * v));
        if constexpr (kFactor == 4) {
            hn::StoreInterleaved4(hn::BitCast(du, sum[v][0]), hn::BitCast(du, sum[v][1]),
                                  hn::BitCast(du, sum[v][2]), hn::BitCast(du, sum[v][3]), du,
                                  words);
        } else {
            hn::StoreInterleaved2(hn::BitCast(du, sum[v][0]), hn::BitCast(du, sum[v][1]), du,
                                  words);
        }
    }
}

template <int32_t kFactor>
void FastInterpolateBy(const float* newest, int32_t samples, const float* taps,
                       const int32_t* counts, ComplexSample* out) {
    // Eight sums at a time hide the latency of the additions.
    constexpr int32_t kVectors = 8 / kFactor;
    const hn::ScalableTag<float> d;
    const int32_t per_vector = static_cast<int32_t>(hn::Lanes(d) / 2);
    int32_t j = 0;
    for (; j + kVectors * per_vector <= samples; j += kVectors * per_vector)
        FastInterpolateVectors<kFactor, kVectors>(d, newest, j, taps, counts, out);
    const hn::CappedTag<float, 2> d1;  // one complex sample
    for (; j < samples; ++j) FastInterpolateVectors<kFactor, 1>(d1, newest, j, taps, counts, out);
}

void FastInterpolate(const float* newest, int32_t samples, const float* taps, const int32_t* counts,
                     int32_t factor, ComplexSample* out) {
    if (factor == 4) return FastInterpolateBy<4>(newest, samples, taps, counts, out);
    FastInterpolateBy<2>(newest, samples, taps, counts, out);
}

// The kernels of this target; returning a pointer runs no vector instruction,
// so asking for an unsupported target's set is harmless.
const SimdKernels* KernelsOfTarget() {
    static const SimdKernels kernels = {
        hwy::TargetName(HWY_TARGET), FirstTwoStages, TwoStages,      OneStage,
        InterpolateBranch,           FastTransform,  FastInterpolate};
    return &kernels;
}

#endif  // HWY_TARGET == HWY_SCALAR

int64_t TargetBit() {
    return HWY_TARGET;
}

}  // namespace HWY_NAMESPACE
}  // namespace terramod
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <algorithm>
#include <cctype>
#include <string>

namespace terramod {

HWY_EXPORT(KernelsOfTarget);
HWY_EXPORT(TargetBit);

// Highway's kernel sets this CPU runs, best first.
std::vector<const SimdKernels*> highway_kernels() {
    std::vector<const SimdKernels*> sets;
    const int64_t supported = hwy::SupportedTargets();
    constexpr size_t kEntries = sizeof(HWY_DISPATCH_TABLE(KernelsOfTarget)) /
                                sizeof(HWY_DISPATCH_TABLE(KernelsOfTarget)[0]);
    // Entry 0 is Highway's own chooser; the others are one target each (or null).
    for (size_t i = 1; i < kEntries; ++i) {
        if (!HWY_DISPATCH_TABLE(KernelsOfTarget)[i]) continue;
        const int64_t target = HWY_DISPATCH_TABLE(TargetBit)[i]();
        if (!(target & supported)) continue;
        const SimdKernels* set = HWY_DISPATCH_TABLE(KernelsOfTarget)[i]();
        if (std::find(sets.begin(), sets.end(), set) == sets.end()) sets.push_back(set);
    }
    return sets;
}

const SimdKernels& highway_best_kernels() {
    return *HWY_DYNAMIC_DISPATCH(KernelsOfTarget)();
}

}  // namespace terramod

#endif  // HWY_ONCE
#endif  // TERRAMOD_HAVE_HIGHWAY
