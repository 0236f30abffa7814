// The --arithmetic fast OFDM modulator: the carrier placement and cyclic
// prefix of Ifft, the inverse DFT (no 1/N) in single precision with a fixed
// order of operations, so that every kernel set, machine and thread count
// gives the same bytes (the build has no fused multiply-add).
//
// The cells go to their bins in natural order (an unused bin +0.0); then a
// self-sorting decimation in time (Stockham): with P points of each
// transform done, A[n1][b] (n1 < P, b < B = N / P, stored at n1 B + b) is
// the transform of length P of sequence b, the bins b, b + B, b + 2B, ...
// (at the start P = 1, A[0][b] = bin b; at the end A[n][0] = sample n). A
// level of radix r makes A'[n1 + P n2][b] for n2 < r, b < B' = B / r from
// x_q = A[n1][b + B' q], q < r; radix 4 (the first level and the following
// ones down to two sequences left, B' = 2):
//   t1 = v x1, t2 = v^2 x2, t3 = v^3 x3   (v = e^{2 pi i n1 / (4P)}),
//   A = x0 + t2, B = x0 - t2, C = t1 + t3, D = t1 - t3,
//   y0 = A + C, y1 = B + iD, y2 = A - C, y3 = B - iD   (y_n2 = A'[n1 + P n2][b]),
// in the first level (P = 1) without the products (t_q = x_q); then radix 2
// (P = N / 2): t = w x1 (w = e^{2 pi i n1 / N}), y0 = x0 + t, y1 = x0 - t.
// Every operation is in float: p x = (pr xr - pi xi, pr xi + pi xr), iD =
// (-D.im, D.re), sums componentwise. The twiddles are the exact values
// rounded to float once, computed with common/exact_math.h (the same on
// every machine). 2k: the first level, radix 4 at P = 4, 16, 64, 256, radix
// 2 at P = 1024; 8k: up to P = 1024, radix 2 at P = 4096.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"
#include "ofdm/ifft.h"
#include "ofdm/simd_kernels.h"

namespace terramod {

class FastIfft {
  public:
    // Takes the carrier placement and guard length of `ifft`; the kernels
    // only choose the vector width.
    FastIfft(const Ifft& ifft, OfdmMode mode, const SimdKernels& kernels = best_kernels());
    FastIfft(const FastIfft&) = delete;
    FastIfft& operator=(const FastIfft&) = delete;

    // Whole symbols, as Ifft::process: carrier_count cells in,
    // fft_size + guard samples out per symbol. Several threads may run it at
    // once on different symbols.
    void process(std::span<const ComplexSample> cells, std::span<ComplexSample> samples) const;

    // The largest transform: 8k.
    static constexpr int32_t kMaxSize = 8192;

  private:
    // Bins begin .. begin + count - 1 receive cells first .. first + count -
    // 1, or +0.0 when first is -1.
    struct Run {
        int32_t begin, count, first;
    };

    const SimdKernels* kernels_;
    int32_t size_;
    int32_t carriers_;
    int32_t guard_length_;
    std::vector<Run> runs_;
    std::vector<float> twiddles_;
    std::vector<FastLevel> levels_;
    FastTransformPlan plan_;
};

}  // namespace terramod
