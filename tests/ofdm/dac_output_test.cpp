#include "ofdm/dac_output.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "tests/ofdm/reference_interpolator.h"

namespace terramod {
namespace {

uint32_t bits(float value) {
    return std::bit_cast<uint32_t>(value);
}

std::vector<ComplexSample> random_samples(size_t count, uint32_t seed, float amplitude) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-amplitude, amplitude);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

// --- Agilent ---------------------------------------------------------------

TEST(AgilentTest, ScaleBitPatterns) {
    EXPECT_EQ(bits(compute_agilent_scale(kMode2k)), 0x42A8BC26u);
    EXPECT_EQ(bits(compute_agilent_scale(kMode8k)), 0x4228C204u);
}

TEST(AgilentTest, SampleExamples) {
    const AgilentConverter converter_2k(compute_agilent_scale(kMode2k));
    const std::vector<ComplexSample> input = {
        {1.0f, -1.0f}, {0.5f, -0.001f}, {0.0f, -0.0f}, {-0.5f, 0.001f}};
    std::vector<uint16_t> dac_i(input.size()), dac_q(input.size());
    converter_2k.convert_agilent(input, dac_i, dac_q);
    EXPECT_EQ(dac_i, (std::vector<uint16_t>{8276, 8234, 8192, 8150}));
    EXPECT_EQ(dac_q, (std::vector<uint16_t>{8108, 8192, 8192, 8192}));

    const AgilentConverter converter_8k(compute_agilent_scale(kMode8k));
    const ComplexSample one{1.0f, 0.0f};
    uint16_t word_i = 0, word_q = 0;
    converter_8k.convert_agilent(std::span(&one, 1), std::span(&word_i, 1), std::span(&word_q, 1));
    EXPECT_EQ(word_i, 8234);
    EXPECT_EQ(word_q, 8192);
}

// Peaks beyond the range saturate at 0 or 16383 instead of wrapping around to
// a full-scale value of the opposite sign; in-range samples keep the word
// 8192 + trunc(scale x part).
TEST(AgilentTest, SaturatesOutOfRangePeaks) {
    const float scale = compute_agilent_scale(kMode2k);
    const AgilentConverter converter(scale);
    const float top = 8191.999f / scale;      // product just below 8192
    const float beyond = 8192.01f / scale;    // product just above 8192
    const float bottom = -8192.999f / scale;  // product just above -8193
    const float below = -8193.01f / scale;    // product just below -8193
    const std::vector<ComplexSample> input = {
        {top, bottom}, {beyond, below}, {1000.0f, -1000.0f}, {3.0e38f, -3.0e38f}};
    std::vector<uint16_t> dac_i(input.size()), dac_q(input.size());
    converter.convert_agilent(input, dac_i, dac_q);
    EXPECT_EQ(dac_i, (std::vector<uint16_t>{16383, 16383, 16383, 16383}));
    EXPECT_EQ(dac_q, (std::vector<uint16_t>{0, 0, 0, 0}));

    const auto samples = random_samples(5000, 7, 97.0f);  // |product| < 8192
    std::vector<uint16_t> words_i(samples.size()), words_q(samples.size());
    converter.convert_agilent(samples, words_i, words_q);
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(words_i[i], 8192 + static_cast<int>(double{scale} * samples[i].re));
        ASSERT_EQ(words_q[i], 8192 + static_cast<int>(double{scale} * samples[i].im));
    }
}

// --- Interpolation ---------------------------------------------------------

// Taps h[0..15] (2x) and h[0..31] (4x) as stored; the rest mirror them.
constexpr uint32_t kTaps2x[16] = {
    0x3B1D082D, 0x3C06FBFD, 0x3BC9658D, 0xBBE0ADF4, 0xBC27FCEA, 0x3C162993, 0x3C946430, 0xBC3BD082,
    0xBCFC27F0, 0x3C5DB58B, 0x3D56C857, 0xBC788339, 0xBDCAE1FF, 0x3C84D5F3, 0x3EA1BEFD, 0x3EF78338};
constexpr uint32_t kTaps4x[32] = {
    0xB8CDD934, 0x3AA27662, 0x3B297BA2, 0x3B828BAB, 0x3B914434, 0x3B5073DC, 0x396D815D, 0xBB5C4E6F,
    0xBBBBE52B, 0xBBA9AF7F, 0xBAA542BC, 0x3B936D00, 0x3C13AA97, 0x3C158CC5, 0x3B6B9FC6, 0xBBB88621,
    0xBC619DA1, 0xBC7D3827, 0xBC01A4DC, 0x3BD9A3BA, 0x3CAC7A30, 0x3CD73819, 0x3C856B38, 0xBBF3D772,
    0xBD0E09CD, 0xBD4B0595, 0xBD1927B9, 0x3C024F6A, 0x3DA2B603, 0x3E21C1E4, 0x3E602B86, 0x3E77AC68};

uint32_t expected_tap(int factor, int n) {
    const int taps = factor == 2 ? 31 : 63;
    const int mirrored = n <= taps / 2 ? n : taps - 1 - n;
    return factor == 2 ? kTaps2x[mirrored] : kTaps4x[mirrored];
}

// Feeds the input in blocks of the given sizes (cycling through them).
std::vector<ComplexSample> interpolate_in_blocks(int factor, const std::vector<ComplexSample>& in,
                                                 const std::vector<int>& block_sizes) {
    Interpolator interpolator(factor);
    std::vector<ComplexSample> out(in.size() * factor, ComplexSample{-9.0f, -9.0f});
    size_t done = 0;
    for (size_t b = 0; done < in.size(); ++b) {
        const int size =
            std::min<int>(block_sizes[b % block_sizes.size()], static_cast<int>(in.size() - done));
        interpolator.process(std::span(in.data() + done, size),
                             std::span(out.data() + done * factor, size * factor));
        done += size;
    }
    return out;
}

bool same_bits(const std::vector<ComplexSample>& x, const std::vector<ComplexSample>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (bits(x[i].re) != bits(y[i].re) || bits(x[i].im) != bits(y[i].im)) return false;
    }
    return true;
}

TEST(InterpolatorTest, FactorsAndTapCounts) {
    EXPECT_EQ(Interpolator(1).factor(), 0);
    EXPECT_EQ(Interpolator(3).factor(), 0);
    const Interpolator by_two(2);
    EXPECT_EQ(by_two.factor(), 2);
    EXPECT_EQ(by_two.tap_count(0), 15);
    EXPECT_EQ(by_two.tap_count(1), 16);
    const Interpolator by_four(4);
    EXPECT_EQ(by_four.factor(), 4);
    EXPECT_EQ(by_four.tap_count(0), 15);
    for (int branch = 1; branch < 4; ++branch) EXPECT_EQ(by_four.tap_count(branch), 16);
}

// A unit impulse at the start of the run gives the taps in stored order.
TEST(InterpolatorTest, ImpulseResponseIsTheTapsInOrder) {
    for (int factor : {2, 4}) {
        const int taps = factor == 2 ? 31 : 63;
        std::vector<ComplexSample> in(40, ComplexSample{0.0f, 0.0f});
        in[0] = {1.0f, 0.0f};
        const auto out = interpolate_in_blocks(factor, in, {40});
        for (int n = 0; n < taps; ++n) {
            EXPECT_EQ(bits(out[n].re), expected_tap(factor, n)) << factor << " " << n;
            EXPECT_EQ(out[n].im, 0.0f);
        }
        for (size_t n = taps; n < out.size(); ++n) EXPECT_EQ(out[n].re, 0.0f) << n;
    }
}

// A constant input settles to outputs of period P: each phase is the input
// times its branch's tap sum.
TEST(InterpolatorTest, ConstantInputGivesBranchSums) {
    const double sums_2x[2] = {0.5098, 0.5107};
    const double sums_4x[4] = {0.2547, 0.2552, 0.2547, 0.2552};
    for (int factor : {2, 4}) {
        const std::vector<ComplexSample> in(100, ComplexSample{2.0f, -1.0f});
        const auto out = interpolate_in_blocks(factor, in, {100});
        for (size_t i = 20 * factor; i < out.size(); ++i) {
            const int phase = static_cast<int>(i % factor);
            const double sum = factor == 2 ? sums_2x[phase] : sums_4x[phase];
            EXPECT_NEAR(out[i].re, 2.0 * sum, 2e-4) << factor << " " << i;
            EXPECT_NEAR(out[i].im, -sum, 1e-4);
            EXPECT_EQ(bits(out[i].re), bits(out[i - factor].re));
        }
    }
}

TEST(InterpolatorTest, MatchesLiteralReferenceInAnyBlockSizes) {
    const auto in = random_samples(3000, 11, 50.0f);
    for (int factor : {2, 4}) {
        const auto expected = reference_interpolate(factor, in);
        EXPECT_TRUE(same_bits(interpolate_in_blocks(factor, in, {3000}), expected)) << factor;
        EXPECT_TRUE(same_bits(interpolate_in_blocks(factor, in, {1}), expected)) << factor;
        EXPECT_TRUE(
            same_bits(interpolate_in_blocks(factor, in, {7, 0, 15, 16, 17, 1, 500, 2}), expected))
            << factor;
        EXPECT_TRUE(same_bits(interpolate_in_blocks(factor, in, {1024, 333}), expected)) << factor;
    }
}

TEST(InterpolatorTest, ZeroInputAndSignedZerosAsReference) {
    std::vector<ComplexSample> in(64, ComplexSample{-0.0f, 0.0f});
    in[10] = {-1.0f, 1.0f};
    in[30] = {0.0f, -0.0f};
    for (int factor : {2, 4}) {
        EXPECT_TRUE(
            same_bits(interpolate_in_blocks(factor, in, {5, 9}), reference_interpolate(factor, in)))
            << factor;
    }
}

// Shares of the input through copies primed with the samples before each
// share (as threads run them) give the literal reference; the history then
// pushed carries on as one pass would, even from fewer than 15 samples.
TEST(InterpolatorTest, PrimedCopiesMatchOnePass) {
    const auto in = random_samples(2000, 13, 50.0f);
    for (int factor : {2, 4}) {
        const auto expected = reference_interpolate(factor, in);
        for (const std::vector<size_t>& cuts :
             {std::vector<size_t>{0, 1000, 2000}, {0, 7, 20, 1500, 2000}, {0, 3, 4, 5, 2000}}) {
            Interpolator carried(factor);
            std::vector<ComplexSample> out(in.size() * factor);
            for (size_t part = 0; part + 1 < cuts.size(); ++part) {
                Interpolator share = carried;
                share.push_history(std::span(in).first(cuts[part]));
                share.process(std::span(in).subspan(cuts[part], cuts[part + 1] - cuts[part]),
                              std::span(out).subspan(cuts[part] * factor,
                                                     (cuts[part + 1] - cuts[part]) * factor));
            }
            EXPECT_TRUE(same_bits(out, expected)) << factor << " " << cuts.size();
        }
        // A history pushed in small pieces equals the one pushed at once.
        Interpolator whole(factor), pieces(factor);
        whole.push_history(std::span(in).first(100));
        for (size_t at = 0; at < 100; at += 6)
            pieces.push_history(std::span(in).subspan(at, std::min<size_t>(6, 100 - at)));
        std::vector<ComplexSample> a(20 * factor), b(20 * factor);
        whole.process(std::span(in).subspan(100, 20), a);
        pieces.process(std::span(in).subspan(100, 20), b);
        EXPECT_TRUE(same_bits(a, b)) << factor;
    }
}

}  // namespace
}  // namespace terramod
