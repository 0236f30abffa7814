// The vectorised inner loops of the transform and the interpolator, one set
// per instruction set, chosen at run time. The portable set is the two-lane
// code of simd.h (SSE2 on x86-64, NEON on AArch64); with Google Highway the
// build adds one set per Highway target (SSSE3, SSE4, AVX2, AVX-512 on x86-64;
// NEON, SVE on AArch64; EMU128 anywhere). Every set performs the same IEEE
// double operations in the same order and rounds to float at the same points,
// so all give the same bits: only the number of lanes differs. The fast
// arithmetic's kernels (fast_ifft.h) do the same with float operations.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

// The placement table of first_two_stages, in groups of kGatherBlocks blocks of
// four positions (the butterflies of stages 1 and 2 stay inside a block):
// entry 4 kGatherBlocks g + kGatherBlocks k + n is the cell that position
// 4 kGatherBlocks g + 4 n + k receives, or -1 for an unused bin (+0.0).
// Lanes hold consecutive blocks of a group, so the table reads as vectors.
inline constexpr int32_t kGatherBlocks = 8;

// Positions begin .. end - 1 of the placement (whole groups) written into the
// bins, one by one: the kernel sets whose gathers are slower than this (all
// but AVX-512 on the machines measured) place a few groups at a time, then
// run the two stages on them while they are in the first-level cache.
inline void place_groups(const ComplexSample* cells, const int32_t* gather, int32_t begin,
                         int32_t end, ComplexSample* bins) {
    for (int32_t g = begin; g < end; g += 4 * kGatherBlocks) {
        for (int32_t n = 0; n < kGatherBlocks; ++n) {
            for (int32_t k = 0; k < 4; ++k) {
                // Without a branch: the unused bins are spread by the bit
                // reversal, so a branch would often be mispredicted.
                const int32_t cell = gather[g + kGatherBlocks * k + n];
                uint64_t value;
                std::memcpy(&value, cells + (cell < 0 ? 0 : cell), sizeof value);
                value = cell < 0 ? 0 : value;
                std::memcpy(bins + g + 4 * n + k, &value, sizeof value);
            }
        }
    }
}

// How many positions place_groups writes before the stages run over them:
// 4 KB, long done when the stages read them back (a load right after the
// narrower stores it reads would wait for them).
inline constexpr int32_t kPlacementChunk = 512;

// A level of the fast transform (fast_ifft.h) after `length` points of each
// transform are done, with its twiddles as floats in arrays of `length`
// (n1 = 0 .. length - 1): radix 4, the real parts of v, its imaginary parts,
// then those of v^2 and of v^3 (v = e^{2 pi i n1 / (4 length)}); radix 2,
// those of w = e^{2 pi i n1 / (2 length)}.
struct FastLevel {
    int32_t length;
    int32_t radix;
    const float* twiddles;
};

// The levels of one size after the first (fast_ifft.h): radix 4 down to two
// sequences left, then radix 2.
struct FastTransformPlan {
    int32_t size;
    const FastLevel* levels;
    int32_t level_count;
};

struct SimdKernels {
    // "portable", or the Highway target name in lower case ("avx2", "avx3", ...).
    const char* name;

    // Transform passes over fft `size` bins; the twiddle pointers point at the
    // pass's first stage's table (entry j of stage with half h at h - 1 + j);
    // the real parts are floats, held widened so that no pass converts them.
    // first_two_stages: the carrier placement and stages 1 and 2 in one pass
    // (wr, wi: the whole table): it reads its input straight from the
    // symbol's cells, the placement given by `gather` (kGatherBlocks), and
    // writes the bins once.
    void (*first_two_stages)(const ComplexSample* cells, const int32_t* gather, ComplexSample* bins,
                             int32_t size, const double* wr, const double* wi);
    // Stages with half h and 2h together (h >= 4).
    void (*two_stages)(ComplexSample* bins, int32_t size, int32_t half, const double* wr,
                       const double* wi);
    // One stage with half h (h >= 4).
    void (*one_stage)(ComplexSample* bins, int32_t size, int32_t half, const double* wr,
                      const double* wi);

    // One interpolator branch over `samples` inputs: newest[2 j], newest[2 j + 1]
    // are input j as doubles (j may go back to -(taps - 1)); output j goes to
    // out[stride j]: f32(h[k] x(j - k) + sum) summed over k = 0, 1, ..., taps - 1.
    void (*interpolate_branch)(const double* newest, int32_t samples, const double* taps,
                               int32_t tap_count, int32_t stride, ComplexSample* out);

    // The fast transform of plan.size bins, in natural order in `samples`,
    // in place; scratch holds 4 plan.size floats (two buffers of real parts
    // followed by imaginary parts).
    void (*fast_transform)(ComplexSample* samples, const FastTransformPlan& plan, float* scratch);
    // The fast interpolator by `factor` (2 or 4) over `samples` inputs:
    // newest[2 j], newest[2 j + 1] are input j (j may go back to -15);
    // output factor j + r of phase r = sum of taps[16 r + k] x(j - k) over
    // k = 0 .. counts[r] - 1 (15 or 16), in float, each product added in
    // that order to the first.
    void (*fast_interpolate)(const float* newest, int32_t samples, const float* taps,
                             const int32_t* counts, int32_t factor, ComplexSample* out);
};

// The two-lane code of simd.h.
const SimdKernels& portable_kernels();

// The widest set this CPU runs (the portable one when the build has no Highway).
const SimdKernels& best_kernels();

// The set named `name` ("portable", also "generic" and "sse2", or a Highway
// target such as "avx2"), or null when there is none by that name or this CPU
// cannot run it.
const SimdKernels* kernels_named(std::string_view name);

// Every set this CPU runs, the portable one first.
std::vector<const SimdKernels*> available_kernels();

// The environment variable that forces a set (for tests and comparisons).
inline constexpr char kSimdEnvironmentVariable[] = "TERRAMOD_SIMD";

// The set TERRAMOD_SIMD names, or best_kernels() when it is unset or empty;
// null when it names no set this CPU runs.
const SimdKernels* kernels_from_environment();

}  // namespace terramod
