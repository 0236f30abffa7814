// --arithmetic fast against independent oracles: the transform against a
// direct inverse DFT in double precision, the interpolator against the
// filter's convolution in double; and the same bytes from every kernel set.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "ofdm/dac_output.h"
#include "ofdm/fast_ifft.h"
#include "ofdm/ifft.h"
#include "tests/ofdm/random_cells.h"

namespace terramod {
namespace {

// Carrier k's bin (EN 300 744 clause 4.4): at zero IF the centre carrier
// (K - 1) / 2 on 0 Hz; at BB IF the same block moved up by N / 2.
int32_t carrier_bin(int32_t k, int32_t n, int32_t carriers, FrequencyMapping mapping) {
    const int32_t centred = k - (carriers - 1) / 2;
    return ((mapping == kZeroIf ? centred : centred + n / 2) % n + n) % n;
}

// x[t] = sum over k of c_k e^{j 2 pi b_k t / N}: the twiddles from the C
// library in long double, the sums in double.
std::vector<std::complex<double>> direct_inverse_dft(const ComplexSample* cells, int32_t n,
                                                     int32_t carriers, FrequencyMapping mapping) {
    std::vector<std::complex<double>> twiddle(n);
    for (int32_t i = 0; i < n; ++i) {
        const long double angle = 2 * std::numbers::pi_v<long double> * i / n;
        twiddle[i] = {static_cast<double>(std::cos(angle)), static_cast<double>(std::sin(angle))};
    }
    std::vector<std::complex<double>> x(n);
    for (int32_t k = 0; k < carriers; ++k) {
        const int64_t bin = carrier_bin(k, n, carriers, mapping);
        const std::complex<double> cell(cells[k].re, cells[k].im);
        for (int32_t t = 0; t < n; ++t) x[t] += cell * twiddle[(bin * t) % n];
    }
    return x;
}

// 10 log10 of the power of `exact` over that of the difference.
double mer_db(const std::vector<std::complex<double>>& exact, const ComplexSample* got) {
    double signal = 0, error = 0;
    for (size_t t = 0; t < exact.size(); ++t) {
        signal += std::norm(exact[t]);
        error += std::norm(std::complex<double>(got[t].re, got[t].im) - exact[t]);
    }
    return 10 * std::log10(signal / error);
}

bool same_bytes(const std::vector<ComplexSample>& a, const std::vector<ComplexSample>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(ComplexSample)) == 0;
}

struct TransformCase {
    OfdmMode mode;
    GuardInterval guard;
    FrequencyMapping mapping;
};

constexpr TransformCase kTransformCases[] = {{kMode2k, kGuard1_32, kZeroIf},
                                             {kMode2k, kGuard1_4, kBasebandIf},
                                             {kMode8k, kGuard1_8, kZeroIf},
                                             {kMode8k, kGuard1_16, kBasebandIf}};

// Single precision with accurate twiddles: far above the 34.5 dB of the
// exact arithmetic in 8k, below the 150 dB of float storage; the same bytes
// from every kernel set.
TEST(FastIfftTest, MatchesTheDirectInverseDftOnEveryKernelSet) {
    for (const TransformCase& c : kTransformCases) {
        const int32_t n = fft_size[c.mode];
        const int32_t carriers = carrier_count[c.mode];
        const Ifft ifft(c.mode, c.guard, c.mapping);
        const int32_t guard = ifft.guard_length();
        const std::vector<ComplexSample> cells = random_cells(size_t(carriers) * 2, n + 1);
        std::vector<ComplexSample> reference;
        for (const SimdKernels* kernels : available_kernels()) {
            std::vector<ComplexSample> samples(size_t(n + guard) * 2);
            FastIfft(ifft, c.mode, *kernels).process(cells, samples);
            if (reference.empty()) reference = samples;
            EXPECT_TRUE(same_bytes(samples, reference)) << kernels->name << " " << n;
        }
        for (int32_t q = 0; q < 2; ++q) {
            const ComplexSample* symbol = reference.data() + size_t(q) * (n + guard);
            const auto exact =
                direct_inverse_dft(cells.data() + size_t(q) * carriers, n, carriers, c.mapping);
            EXPECT_GE(mer_db(exact, symbol + guard), 110.0) << n << " " << c.mapping;
            EXPECT_EQ(std::memcmp(symbol, symbol + n, sizeof(ComplexSample) * guard), 0);
        }
    }
}

// The filter's taps convolved with the input in double (the stored filter
// as EN 300 744 leaves it to the implementation: interp_filter_2x/4x),
// output factor j + r from taps r, r + factor, ...
std::vector<std::complex<double>> direct_interpolation(int32_t factor,
                                                       const std::vector<ComplexSample>& input) {
    const float* taps = factor == 2 ? interp_filter_2x.data() : interp_filter_4x.data();
    const int32_t tap_count = factor == 2 ? 31 : 63;
    std::vector<std::complex<double>> out(input.size() * factor);
    for (size_t j = 0; j < input.size(); ++j) {
        for (int32_t r = 0; r < factor; ++r) {
            std::complex<double> sum = 0;
            for (int32_t k = 0; factor * k + r < tap_count && k <= static_cast<int32_t>(j); ++k)
                sum += double{taps[factor * k + r]} *
                       std::complex<double>(input[j - k].re, input[j - k].im);
            out[factor * j + r] = sum;
        }
    }
    return out;
}

TEST(FastInterpolatorTest, IsTheFiltersConvolutionInFloatOnEveryKernelSet) {
    for (int32_t factor : {2, 4}) {
        const std::vector<ComplexSample> input = random_cells(3000, 11);
        const auto exact = direct_interpolation(factor, input);
        std::vector<ComplexSample> reference;
        for (const SimdKernels* kernels : available_kernels()) {
            // In two calls of uneven length: the history carries over.
            Interpolator interpolator(factor, *kernels, Arithmetic::kFast);
            std::vector<ComplexSample> out(input.size() * factor);
            interpolator.process(std::span(input).first(1001), std::span(out).first(1001 * factor));
            interpolator.process(std::span(input).subspan(1001),
                                 std::span(out).subspan(1001 * factor));
            // Sixteen float products and sums: about 2^-24 of the output each.
            EXPECT_GE(mer_db(exact, out.data()), 130.0) << kernels->name << " " << factor;
            if (reference.empty()) reference = out;
            EXPECT_TRUE(same_bytes(out, reference)) << kernels->name << " " << factor;
        }
    }
}

}  // namespace
}  // namespace terramod
