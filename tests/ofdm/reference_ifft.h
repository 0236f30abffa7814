// The OFDM modulator written out literally: seeds computed here, one twiddle
// recurrence step per butterfly, bins placed one by one. The oracle of the
// product Ifft, and its benchmark baseline.
#pragma once

#include <cmath>
#include <vector>

#include "tx/tx_types.h"

namespace terramod {

inline float reference_f32(double value) {
    return static_cast<float>(value);
}

// The in-place radix-2 transform of f (bit-reversed input, n = 2^m points).
inline void literal_transform(ComplexSample* f, int n, int m) {
    const auto f32 = reference_f32;
    for (int s = 1; s <= m; ++s) {
        const double theta = 6.2831854820251465 / std::pow(2.0, s);
        const float cos1 = f32(std::cos(theta)), sin1 = f32(std::sin(-theta));
        const float cos2 = f32(std::cos(2 * theta)), sin2 = f32(std::sin(-2 * theta));
        const float twice_cos = f32(2 * std::cos(theta));
        const int half = 1 << (s - 1), span = 1 << s;
        for (int g = 0; g < n; g += span) {
            float c1 = cos1, c2 = cos2, s1 = sin1, s2 = sin2;
            for (int j = 0; j < half; ++j) {
                ComplexSample& a = f[g + j];
                ComplexSample& b = f[g + j + half];
                float wr = f32((double)twice_cos * (double)c1 - (double)c2);
                c2 = c1;
                c1 = wr;
                double wi = (double)twice_cos * (double)s1 - (double)s2;
                s2 = s1;
                s1 = f32(wi);
                float tr = f32((double)wr * (double)b.re - wi * (double)b.im);
                double ti = wi * (double)b.re + (double)wr * (double)b.im;
                b.re = f32((double)a.re - (double)tr);
                b.im = f32((double)a.im - ti);
                a.re = f32((double)tr + (double)a.re);
                a.im = f32(ti + (double)a.im);
            }
        }
    }
}

// Placement, transform and cyclic prefix of every whole symbol of cells.
inline std::vector<ComplexSample> reference_ifft_and_guard(
    const DvbtSettings& config, const std::vector<ComplexSample>& cells) {
    const int n = fft_size[config.mode];
    const int m = fft_log2[config.mode];
    const int k_count = carrier_count[config.mode];
    const int guard = static_cast<int>(n * guard_fraction[config.guard_interval]);
    const int symbols = static_cast<int>(cells.size()) / k_count;
    std::vector<ComplexSample> out(static_cast<size_t>(n + guard) * symbols);
    for (int q = 0; q < symbols; ++q) {
        std::vector<ComplexSample> x(n, ComplexSample{0.0f, 0.0f});
        for (int k = 0; k < k_count; ++k) {
            const int bin = config.frequency_mapping == kZeroIf ? (k - (k_count - 1) / 2 + n) % n
                                                                : (n - k_count + 1) / 2 + k;
            x[bin] = cells[static_cast<size_t>(q) * k_count + k];
        }
        std::vector<ComplexSample> f(n);
        for (int i = 0; i < n; ++i) {
            int r = 0, a = i;
            for (int t = 0; t < m; ++t) {
                r = 2 * r + (a & 1);
                a >>= 1;
            }
            f[r] = x[i];
        }
        literal_transform(f.data(), n, m);
        ComplexSample* block = out.data() + static_cast<size_t>(q) * (n + guard);
        for (int i = 0; i < guard; ++i) block[i] = f[n - guard + i];
        for (int i = 0; i < n; ++i) block[guard + i] = f[i];
    }
    return out;
}

}  // namespace terramod
