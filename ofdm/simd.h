// Two-lane double vectors for the OFDM hot loops, written with the GCC/Clang
// vector extensions: the compiler lowers them to SSE2 on x86-64 and to NEON on
// AArch64 (three narrowings are spelled out in SSE2 instructions, see below).
// Each lane is an ordinary IEEE double operation and every narrowing rounds to
// the nearest float, so the results are the bits scalar code gives on any
// target. (The build keeps -ffp-contract=off, so a multiply followed by an add
// is never fused into one rounding, on AArch64 either.)
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace terramod::simd {

typedef double Double2 __attribute__((vector_size(16)));
typedef float Float2 __attribute__((vector_size(8)));
typedef float Float4 __attribute__((vector_size(16)));
// Only as an intermediate inside the functions below, never passed around.
typedef double Double4 __attribute__((vector_size(32)));

// The same types for loads and stores: they may alias the scalars and need
// only their alignment. (Loads through memcpy would do as well, but GCC then
// moves the doubles with integer instructions.)
typedef double UnalignedDouble2 __attribute__((vector_size(16), aligned(8), may_alias));
typedef float UnalignedFloat2 __attribute__((vector_size(8), aligned(4), may_alias));
typedef float UnalignedFloat4 __attribute__((vector_size(16), aligned(4), may_alias));

inline Double2 broadcast(double value) {
    return Double2{value, value};
}

inline Double2 load_double2(const double* source) {
    return *reinterpret_cast<const UnalignedDouble2*>(source);
}

inline Float4 load_float4(const float* source) {
    return *reinterpret_cast<const UnalignedFloat4*>(source);
}

inline void store_float4(float* destination, Float4 value) {
    *reinterpret_cast<UnalignedFloat4*>(destination) = value;
}

// Lanes 0 and 1 widened to double (exact). Written as a four-lane
// conversion, which GCC 12 turns into one instruction on both targets, where
// it makes scalar code of a two-lane one on AArch64.
inline Double2 widen_low(Float4 value) {
    const Double4 wide = __builtin_convertvector(value, Double4);
    return __builtin_shufflevector(wide, wide, 0, 1);
}

inline Double2 load_widened(const float* source) {
    const Float2 pair = *reinterpret_cast<const UnalignedFloat2*>(source);
    return widen_low(__builtin_shufflevector(pair, pair, 0, 1, -1, -1));
}

// [x0.re x0.im x1.re x1.im] -> re = [x0.re x1.re], im = [x0.im x1.im], widened.
inline void deinterleave_widened(Float4 samples, Double2& re, Double2& im) {
    re = widen_low(__builtin_shufflevector(samples, samples, 0, 2, 4, 6));
    im = widen_low(__builtin_shufflevector(samples, samples, 1, 3, 5, 7));
}

#if defined(__SSE2__)

// The narrowings in SSE2 instructions: GCC 12 follows its own two-lane
// narrowing with a needless clear of the upper half of the register, which
// made the transform and the interpolator about 10% slower. Same rounding.
inline Double2 round_to_float(Double2 value) {
    return _mm_cvtps_pd(_mm_cvtpd_ps(value));
}

// [re0 im0 re1 im1], each rounded to float.
inline Float4 narrow_interleaved(Double2 re, Double2 im) {
    return _mm_unpacklo_ps(_mm_cvtpd_ps(re), _mm_cvtpd_ps(im));
}

inline void store_narrowed(float* destination, Double2 value) {
    _mm_storel_pi(reinterpret_cast<__m64*>(destination), _mm_cvtpd_ps(value));
}

#else

inline Float2 narrow(Double2 value) {
    return __builtin_convertvector(value, Float2);
}

inline Double2 round_to_float(Double2 value) {
    const Float2 rounded = narrow(value);
    return widen_low(__builtin_shufflevector(rounded, rounded, 0, 1, -1, -1));
}

// Interleaved before the narrowing: narrowing four lanes at once saves GCC 12
// two instructions on AArch64.
inline Float4 narrow_interleaved(Double2 re, Double2 im) {
    return __builtin_convertvector(__builtin_shufflevector(re, im, 0, 2, 1, 3), Float4);
}

inline void store_narrowed(float* destination, Double2 value) {
    *reinterpret_cast<UnalignedFloat2*>(destination) = narrow(value);
}

#endif

}  // namespace terramod::simd
