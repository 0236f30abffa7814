// The signal-quality stages against independent oracles: the --precise
// transform against a direct inverse DFT, the symbol window's weights against
// the raised cosine and its cross-fade against the formula, and the BB IF
// shift against complex exponentials.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "ofdm/bb_if_shift.h"
#include "ofdm/ifft.h"
#include "ofdm/precise_ifft.h"
#include "ofdm/symbol_window.h"
#include "tests/ofdm/random_cells.h"

namespace terramod {
namespace {

// Carrier k's bin, written from EN 300 744 clause 4.4: at zero IF the centre
// carrier (K - 1) / 2 on 0 Hz; at BB IF the same block moved up by N / 2.
int32_t carrier_bin(int32_t k, int32_t n, int32_t carriers, FrequencyMapping mapping) {
    const int32_t centred = k - (carriers - 1) / 2;
    return ((mapping == kZeroIf ? centred : centred + n / 2) % n + n) % n;
}

// x[t] = sum over k of c_k e^{j 2 pi b_k t / N}, twiddles exact to a double,
// sums in long double.
std::vector<std::complex<long double>> direct_inverse_dft(const ComplexSample* cells, int32_t n,
                                                          int32_t carriers,
                                                          FrequencyMapping mapping) {
    std::vector<std::complex<long double>> twiddle(n);
    for (int32_t i = 0; i < n; ++i) {
        const long double angle = 2 * std::numbers::pi_v<long double> * i / n;
        twiddle[i] = {std::cos(angle), std::sin(angle)};
    }
    std::vector<std::complex<long double>> x(n);
    for (int32_t k = 0; k < carriers; ++k) {
        const int64_t bin = carrier_bin(k, n, carriers, mapping);
        const std::complex<long double> cell(cells[k].re, cells[k].im);
        for (int32_t t = 0; t < n; ++t) x[t] += cell * twiddle[(bin * t) % n];
    }
    return x;
}

struct PreciseCase {
    OfdmMode mode;
    GuardInterval guard;
    FrequencyMapping mapping;
};

TEST(PreciseIfftTest, MatchesTheDirectInverseDftAndRepeatsTheEndAsPrefix) {
    if (!PreciseIfft::available()) GTEST_SKIP() << "built without FFTW";
    const PreciseCase cases[] = {{kMode2k, kGuard1_32, kZeroIf},
                                 {kMode2k, kGuard1_4, kBasebandIf},
                                 {kMode8k, kGuard1_8, kZeroIf},
                                 {kMode8k, kGuard1_16, kBasebandIf}};
    for (const PreciseCase& c : cases) {
        const int32_t n = fft_size[c.mode];
        const int32_t carriers = carrier_count[c.mode];
        Ifft ifft(c.mode, c.guard, c.mapping);
        PreciseIfft precise(ifft, c.mode);
        const int32_t guard = ifft.guard_length();
        const int32_t symbols = c.mode == kMode2k ? 2 : 1;
        const std::vector<ComplexSample> cells = random_cells(size_t(carriers) * symbols, n);
        std::vector<ComplexSample> samples(size_t(n + guard) * symbols);
        precise.process(cells, samples);
        for (int32_t q = 0; q < symbols; ++q) {
            const ComplexSample* symbol = samples.data() + size_t(q) * (n + guard);
            const auto exact =
                direct_inverse_dft(cells.data() + size_t(q) * carriers, n, carriers, c.mapping);
            long double signal = 0, error = 0;
            for (int32_t t = 0; t < n; ++t) {
                const std::complex<long double> got(symbol[guard + t].re, symbol[guard + t].im);
                signal += std::norm(exact[t]);
                error += std::norm(got - exact[t]);
            }
            // Rounding to float alone gives about 150 dB.
            EXPECT_GT(10 * std::log10(signal / error), 140.0L) << n << " " << c.mapping;
            for (int32_t t = 0; t < guard; ++t) {
                ASSERT_EQ(symbol[t].re, symbol[n + t].re);
                ASSERT_EQ(symbol[t].im, symbol[n + t].im);
            }
        }
    }
}

TEST(SymbolWindowTest, WeightsAreTheRaisedCosineSymmetricAndComplementary) {
    for (int32_t length : {1, 2, 3, 16, 17, 512}) {
        SymbolWindow window(length, 2048, 2048);
        for (int32_t i = 0; i < length; ++i) {
            const double half_angle = std::numbers::pi * (i + 0.5) / (2 * length);
            const double expected = std::sin(half_angle) * std::sin(half_angle);
            EXPECT_NEAR(window.rising()[i], expected, 1e-15) << length << " " << i;
            EXPECT_EQ(window.rising()[i], window.falling()[length - 1 - i]) << length;
            EXPECT_NEAR(window.rising()[i] + window.falling()[i], 1.0, 0x1p-52) << length;
            if (i > 0) {
                EXPECT_GT(window.rising()[i], window.rising()[i - 1]);
            }
        }
    }
}

TEST(SymbolWindowTest, CrossFadesThePrefixStartWithThePreviousSymbolsContinuation) {
    const int32_t n = 64, guard = 16, length = 4, symbols = 5;
    std::vector<ComplexSample> original = random_cells(size_t(n + guard) * symbols, 9);
    // Whole at once, and in pieces of one and four symbols: the same.
    std::vector<ComplexSample> whole = original, pieces = original;
    SymbolWindow(length, n, guard).process(whole);
    SymbolWindow split(length, n, guard);
    split.process(std::span(pieces).first(n + guard));
    split.process(std::span(pieces).subspan(n + guard));
    for (size_t i = 0; i < whole.size(); ++i) {
        ASSERT_EQ(whole[i].re, pieces[i].re);
        ASSERT_EQ(whole[i].im, pieces[i].im);
    }
    for (int32_t q = 0; q < symbols; ++q) {
        for (int32_t t = 0; t < n + guard; ++t) {
            const size_t at = size_t(q) * (n + guard) + t;
            if (t >= length) {
                ASSERT_EQ(whole[at].re, original[at].re);
                continue;
            }
            // Before the first symbol: silence.
            const ComplexSample before = q == 0 ? ComplexSample{0, 0} : original[at - n];
            const double rising = std::pow(std::sin(std::numbers::pi * (t + 0.5) / 8), 2);
            EXPECT_NEAR(whole[at].re, rising * original[at].re + (1 - rising) * before.re, 1e-6);
            EXPECT_NEAR(whole[at].im, rising * original[at].im + (1 - rising) * before.im, 1e-6);
        }
    }
    EXPECT_EQ(SymbolWindow::max_length(64), 16);
    EXPECT_EQ(SymbolWindow::max_length(2048), 512);
}

TEST(BasebandIfShifterTest, ShiftsMatchTheComplexExponentials) {
    for (int32_t factor : {2, 4}) {
        BasebandIfShifter shifter(factor);
        std::vector<ComplexSample> samples = random_cells(101, factor);
        const std::vector<ComplexSample> original = samples;
        // Pieces of odd lengths: the phase runs on across calls.
        shifter.up_by_half_base_rate(std::span(samples).first(37));
        shifter.up_by_half_base_rate(std::span(samples).subspan(37));
        for (size_t m = 0; m < samples.size(); ++m) {
            const std::complex<double> exact =
                std::complex<double>(original[m].re, original[m].im) *
                std::polar(1.0, std::numbers::pi * double(m % (2 * factor)) / factor);
            if (factor == 2 || m % 2 == 0) {
                // Multiples of a quarter turn: exact (the cells are multiples
                // of 1/7; rounding removes polar's 1e-17 from cos(pi / 2)).
                EXPECT_EQ(samples[m].re, static_cast<float>(std::round(exact.real() * 7) / 7));
                EXPECT_EQ(samples[m].im, static_cast<float>(std::round(exact.imag() * 7) / 7));
            } else {
                // One rounding to float of the double result.
                EXPECT_NEAR(samples[m].re, exact.real(), 0x1p-24 * (1 + std::abs(exact.real())));
                EXPECT_NEAR(samples[m].im, exact.imag(), 0x1p-24 * (1 + std::abs(exact.imag())));
            }
        }
    }
    BasebandIfShifter shifter(2);
    const std::vector<ComplexSample> ones(7, ComplexSample{1, 0});
    std::vector<ComplexSample> down(7);
    shifter.to_zero_if(std::span(ones).first(3), std::span(down).first(3));
    shifter.to_zero_if(std::span(ones).subspan(3), std::span(down).subspan(3));
    for (size_t n = 0; n < down.size(); ++n) EXPECT_EQ(down[n].re, n % 2 ? -1.0f : 1.0f);
}

}  // namespace
}  // namespace terramod
