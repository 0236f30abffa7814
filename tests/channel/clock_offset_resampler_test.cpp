// The sampling clock offset: tones inside the occupied band come out as the
// same tones read at the positions m (1 + epsilon), evaluated directly; the
// number of outputs is the one the definition gives by hand; any split of
// the input gives the same bytes; no offset gives the input back.
#include "channel/clock_offset_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace terramod {
namespace {

constexpr double kBaseRate = 64e6 / 7;
constexpr double kOccupied = 1705 * kBaseRate / 2048;  // 8 MHz channel

ChannelSignal signal_at(int factor) {
    return {kBaseRate * factor, kOccupied, 1};
}

// Every output of `input` pushed in blocks of the sizes given (cycling
// through them), then the flush.
std::vector<ComplexSample> resample(ClockOffsetResampler& resampler,
                                    const std::vector<ComplexSample>& input,
                                    const std::vector<size_t>& blocks) {
    std::vector<ComplexSample> output;
    size_t at = 0;
    for (size_t b = 0; at < input.size(); ++b) {
        const size_t size = std::min(blocks[b % blocks.size()], input.size() - at);
        const auto out = resampler.push(std::span(input).subspan(at, size));
        EXPECT_LE(out.size(), resampler.max_outputs(size));
        output.insert(output.end(), out.begin(), out.end());
        at += size;
    }
    const auto rest = resampler.flush();
    EXPECT_LE(rest.size(), resampler.max_outputs(0));
    output.insert(output.end(), rest.begin(), rest.end());
    return output;
}

// Tones of unit amplitude at `frequencies` (Hz) at sample position p (in
// samples of `rate`): the turns in long double from the position itself.
struct Tones {
    std::vector<double> frequencies;
    double rate;
    std::pair<double, double> at(long double position) const {
        double re = 0, im = 0;
        for (double f : frequencies) {
            long double turns = position * f / rate;
            turns -= std::floor(turns);
            const double angle = 2 * 3.14159265358979323846 * static_cast<double>(turns);
            re += std::cos(angle);
            im += std::sin(angle);
        }
        return {re, im};
    }
};

TEST(ClockOffsetResampler, TapsForTheOversampling) {
    // Kaiser: (80 - 7.95) / (14.36 (1 - B / Fs)), up to an even count.
    struct Case {
        double share;
        int32_t taps;
    };
    const Case cases[] = {{1705.0 / 2048, 30}, {1705.0 / 4096, 10}, {1705.0 / 8192, 8},
                          {6817.0 / 8192, 30}, {0.5, 12},           {0.01, 6}};
    for (const Case& c : cases) EXPECT_EQ(ClockOffsetResampler::tap_count_for(c.share), c.taps);
}

// Output m against the tones at input position m (1 + epsilon): the error
// over the outputs clear of both ends (the zeros before and after) at most
// -60 dB of the signal, at 1x, 2x and 4x, zero IF and BB IF, fast and slow.
TEST(ClockOffsetResampler, TonesAtTheShiftedPositions) {
    struct Case {
        int factor;
        double ppm;
        double centre;  // Hz: the band's centre
        size_t count;
    };
    const Case cases[] = {
        {1, 12.5, 0, 60000},
        {1, -1000, 0, 60000},
        {1, 1000, kBaseRate / 2, 60000},  // BB IF at 1x: the band about Fs / 2
        {2, -3, 0, 60000},
        {2, 250, kBaseRate / 2, 60000},
        {4, 1000, 0, 60000},
        {4, -1000, kBaseRate / 2, 60000},
        {4, 1000, 1.2e6, 1 << 21},  // a frequency offset too; 2097 samples of drift
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.factor) + "x " + std::to_string(c.ppm) + " ppm, centre " +
                     std::to_string(c.centre));
        const double rate = kBaseRate * c.factor;
        // Near both edges of the band, and inside.
        const double edge = kOccupied / 2;
        Tones tones{{c.centre - 0.995 * edge, c.centre - 0.4 * edge, c.centre + 0.13 * edge,
                     c.centre + 0.995 * edge},
                    rate};
        std::vector<ComplexSample> input(c.count);
        for (size_t n = 0; n < c.count; ++n) {
            const auto [re, im] = tones.at(n);
            input[n] = {static_cast<float>(re), static_cast<float>(im)};
        }
        ClockOffsetResampler resampler(c.ppm, signal_at(c.factor), c.centre);
        const std::vector<ComplexSample> output = resample(resampler, input, {143616});
        const long double scale = 1 + static_cast<long double>(c.ppm) * 1e-6L;
        double error = 0, power = 0;
        size_t compared = 0;
        for (size_t m = 0; m < output.size(); ++m) {
            const long double position = m * scale;
            if (position < 64 || position > c.count - 64) continue;
            const auto [re, im] = tones.at(position);
            error += std::pow(output[m].re - re, 2) + std::pow(output[m].im - im, 2);
            power += re * re + im * im;
            ++compared;
        }
        ASSERT_GT(compared, c.count * 9 / 10);
        const double db = 10 * std::log10(error / power);
        std::printf("  %dx %+.1f ppm centre %.0f Hz: error %.1f dB\n", c.factor, c.ppm, c.centre,
                    db);
        EXPECT_LT(db, -60);
    }
}

// Outputs whose positions m (1 + epsilon) lie below N: ceil(N / (1 + epsilon)),
// worked out by hand.
TEST(ClockOffsetResampler, OutputCountOverTheInput) {
    struct Case {
        double ppm;
        size_t inputs;
        size_t outputs;
    };
    const Case cases[] = {
        {0, 200000, 200000},
        {1000, 200000, 199801},     // 199800.1998
        {-1000, 200000, 200201},    // 200200.2002
        {3, 200000, 200000},        // 199999.40000
        {-3, 200000, 200001},       // 200000.60000
        {12.5, 1000000, 999988},    // 999987.50016
        {-12.5, 1000000, 1000013},  // 1000012.50016
        {1000, 5, 5},               // 4.995
        {1000, 1, 1},
        {0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ppm) + " ppm, " + std::to_string(c.inputs));
        ClockOffsetResampler resampler(c.ppm, signal_at(4));
        const std::vector<ComplexSample> input(c.inputs, ComplexSample{1, -1});
        EXPECT_EQ(resample(resampler, input, {65536, 1, 999}).size(), c.outputs);
        EXPECT_EQ(resampler.outputs(), c.outputs);
    }
}

// Whatever the sizes of the blocks pushed, the same bytes.
TEST(ClockOffsetResampler, SameBytesWhateverTheBlocks) {
    std::mt19937 generator(7);
    std::normal_distribution<float> value(0, 30);
    std::vector<ComplexSample> input(100003);
    for (ComplexSample& sample : input) sample = {value(generator), value(generator)};
    struct Case {
        int factor;
        double ppm;
        double centre;
    };
    for (const Case& c : {Case{1, 12.5, 0}, Case{1, -1000, kBaseRate / 2}, Case{4, 999.9, 3e5}}) {
        SCOPED_TRACE(c.ppm);
        ClockOffsetResampler whole(c.ppm, signal_at(c.factor), c.centre);
        const std::vector<ComplexSample> reference = resample(whole, input, {input.size()});
        const std::vector<std::vector<size_t>> splits = {
            {1}, {7, 0, 4096}, {143616}, {29, 30, 31, 15}, {50000, 1}};
        for (const std::vector<size_t>& split : splits) {
            ClockOffsetResampler resampler(c.ppm, signal_at(c.factor), c.centre);
            const std::vector<ComplexSample> output = resample(resampler, input, split);
            ASSERT_EQ(output.size(), reference.size());
            EXPECT_EQ(
                std::memcmp(output.data(), reference.data(), output.size() * sizeof(ComplexSample)),
                0)
                << split[0];
        }
    }
}

// No offset at zero IF: every output is its input (the taps at phase 0 are
// 1 and exact zeros). At BB IF the band's shift there and back leaves
// rounding only.
TEST(ClockOffsetResampler, NoOffsetGivesTheInputBack) {
    std::mt19937 generator(3);
    std::uniform_real_distribution<float> value(-100, 100);
    std::vector<ComplexSample> input(50000);
    for (ComplexSample& sample : input) sample = {value(generator), value(generator)};
    for (int factor : {1, 2, 4}) {
        ClockOffsetResampler resampler(0, signal_at(factor));
        const std::vector<ComplexSample> output = resample(resampler, input, {4097});
        ASSERT_EQ(output.size(), input.size());
        for (size_t n = 0; n < input.size(); ++n) {
            ASSERT_EQ(output[n].re, input[n].re) << n;
            ASSERT_EQ(output[n].im, input[n].im) << n;
        }
    }
    ClockOffsetResampler shifted(0, signal_at(1), kBaseRate / 2);
    const std::vector<ComplexSample> output = resample(shifted, input, {4097});
    ASSERT_EQ(output.size(), input.size());
    for (size_t n = 0; n < input.size(); ++n) {
        ASSERT_NEAR(output[n].re, input[n].re, 2e-5) << n;
        ASSERT_NEAR(output[n].im, input[n].im, 2e-5) << n;
    }
}

}  // namespace
}  // namespace terramod
