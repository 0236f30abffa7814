// --precise, --arithmetic fast and --window on whole runs: the windowed
// output differs from the default only in the first N samples of each symbol,
// the precise one only by the default transform's own error, the fast one by
// float rounding; lengths outside the guard's quarter and values that are no
// number are refused before any file is written.
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

#include "dvbt/dvbt.h"
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using SignalQualityE2e = E2eTest;

std::vector<ComplexSample> read_samples(const fs::path& file) {
    const std::string bytes = read_file(file);
    std::vector<ComplexSample> samples(bytes.size() / sizeof(ComplexSample));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(ComplexSample));
    return samples;
}

// The power of `reference` over that of `other` - `reference`, in dB.
double signal_to_difference_db(const std::vector<ComplexSample>& reference,
                               const std::vector<ComplexSample>& other) {
    double signal = 0, difference = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        signal +=
            double{reference[i].re} * reference[i].re + double{reference[i].im} * reference[i].im;
        const double dre = double{other[i].re} - reference[i].re;
        const double dim = double{other[i].im} - reference[i].im;
        difference += dre * dre + dim * dim;
    }
    return 10 * std::log10(signal / difference);
}

TEST_F(SignalQualityE2e, WindowChangesOnlyTheFirstSamplesOfEachSymbol) {
    write_file(path("in.ts"), make_stream(188 * 100));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "plain", "-d", "t", "-D", "1/4"}).exit_code, 0);
    const RunResult result =
        run({"-i", "in.ts", "-o", "windowed", "-d", "t", "-D", "1/4", "--window", "128"});
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_NE(result.console.find("Symbol windowing: raised-cosine transitions of 128 samples"),
              std::string::npos);
    EXPECT_NE(read_file(path("windowed.sigmf-meta")).find("\"dvbt:window_length\": 128"),
              std::string::npos);
    EXPECT_EQ(read_file(path("plain.sigmf-meta")).find("window"), std::string::npos);
    const auto plain = read_samples(path("plain.bin"));
    const auto windowed = read_samples(path("windowed.bin"));
    ASSERT_EQ(plain.size(), windowed.size());
    const size_t symbol_length = 2048 + 512;
    size_t changed = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        const bool same = plain[i].re == windowed[i].re && plain[i].im == windowed[i].im;
        if (i % symbol_length >= 128) {
            ASSERT_TRUE(same) << i;
        }
        changed += !same;
    }
    EXPECT_GT(changed, plain.size() / symbol_length * 120);
}

TEST_F(SignalQualityE2e, PreciseDiffersFromTheDefaultOnlyByItsRoundingDrift) {
    write_file(path("in.ts"), make_stream(188 * 100));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "default", "-d", "t", "-f", "BBIF"}).exit_code, 0);
    const RunResult result = run({"-i", "in.ts", "-o", "precise", "-d", "t", "-f", "BBIF",
                                  "--precise", "-l", "precise.log"});
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_NE(read_file(path("precise.log")).find("Transform: exact, in double precision"),
              std::string::npos);
    EXPECT_NE(read_file(path("precise.sigmf-meta")).find("\"dvbt:transform\": \"exact"),
              std::string::npos);
    EXPECT_EQ(read_file(path("default.sigmf-meta")).find("transform"), std::string::npos);
    const auto plain = read_samples(path("default.bin"));
    const auto precise = read_samples(path("precise.bin"));
    ASSERT_EQ(plain.size(), precise.size());
    // The default 2k transform is about 63 dB clean: same placement and
    // guard, a different rounding.
    const double ratio_db = signal_to_difference_db(precise, plain);
    EXPECT_GT(ratio_db, 55.0);
    EXPECT_LT(ratio_db, 100.0);
}

// --arithmetic fast against --precise: float rounding alone, above 110 dB
// (the exact arithmetic gives about 34 dB in 8k). The log's line comes after the parameters; a
// default run's log and metadata say nothing of the arithmetic.
TEST_F(SignalQualityE2e, FastArithmeticIsThePreciseSignalToWithinFloatRounding) {
    write_file(path("in.ts"), make_stream(188 * 300));
    const std::vector<std::string> settings = {"-i", "in.ts", "-d",  "t",  "-8k", "-M",
                                               "64", "-D",    "1/4", "-f", "BBIF"};
    const auto with = [&settings](std::vector<std::string> options) {
        options.insert(options.begin(), settings.begin(), settings.end());
        return options;
    };
    ASSERT_EQ(run(with({"-o", "fast", "-l", "fast.log", "--arithmetic", "fast"})).exit_code, 0);
    ASSERT_EQ(run(with({"-o", "exact", "-l", "exact.log"})).exit_code, 0);
    if (run(with({"-o", "precise", "--precise"})).exit_code != 0) GTEST_SKIP() << "no FFTW";
    const auto fast = read_samples(path("fast.bin"));
    const auto precise = read_samples(path("precise.bin"));
    ASSERT_EQ(fast.size(), precise.size());
    EXPECT_GE(signal_to_difference_db(precise, fast), 110.0);

    const std::string log = read_file(path("fast.log"));
    const size_t line =
        log.find("\nArithmetic: fast, transform and interpolator in single precision\n");
    EXPECT_GT(line, log.find("Nominal bandwidth"));
    EXPECT_NE(line, std::string::npos) << log;
    EXPECT_NE(
        read_file(path("fast.sigmf-meta")).find("\"dvbt:transform\": \"fast (single precision)\""),
        std::string::npos);
    EXPECT_EQ(read_file(path("exact.log")).find("Arithmetic"), std::string::npos);
    EXPECT_EQ(read_file(path("exact.sigmf-meta")).find("transform"), std::string::npos);
}

// With the exact transform the BB IF and zero IF base-rate signals differ by
// (-1)^n to within float rounding, so the interpolated BB IF output moved
// down by half the base rate (times e^{-j pi m / P}) must be the zero IF
// output: the band whole, at the right place, with the same filter.
TEST_F(SignalQualityE2e, InterpolatedBasebandIfIsZeroIfMovedUpByHalfTheBaseRate) {
    write_file(path("in.ts"), make_stream(188 * 100));
    for (const char* factor : {"2x", "4x"}) {
        ASSERT_EQ(
            run({"-i", "in.ts", "-o", "zero", "-d", "t", "--precise", "-F", factor}).exit_code, 0);
        ASSERT_EQ(
            run({"-i", "in.ts", "-o", "bbif", "-d", "t", "--precise", "-F", factor, "-f", "BBIF"})
                .exit_code,
            0);
        const auto zero_if = read_samples(path("zero.bin"));
        const auto bb_if = read_samples(path("bbif.bin"));
        ASSERT_EQ(zero_if.size(), bb_if.size());
        const double p = factor[0] - '0';
        double signal = 0, difference = 0;
        for (size_t m = 0; m < bb_if.size(); ++m) {
            const std::complex<double> down =
                std::complex<double>(bb_if[m].re, bb_if[m].im) *
                std::polar(1.0, -std::numbers::pi * static_cast<double>(m % 8) / p);
            const std::complex<double> expected(zero_if[m].re, zero_if[m].im);
            signal += std::norm(expected);
            difference += std::norm(down - expected);
        }
        EXPECT_GT(10 * std::log10(signal / difference), 100.0) << factor;
    }
}

TEST_F(SignalQualityE2e, WindowOutsideTheGuardsQuarterIsRefused) {
    write_file(path("in.ts"), make_stream(188 * 10));
    struct Case {
        std::vector<std::string> options;
        const char* limits;  // nullptr: accepted
    };
    const Case cases[] = {
        {{"--window", "17"}, "from 0 to 16 with this mode and guard interval (a quarter of its 64"},
        {{"--window", "16"}, nullptr},
        {{"--window", "0"}, nullptr},
        {{"-8k", "-D", "1/4", "--window", "512"}, nullptr},
        {{"-8k", "-D", "1/4", "--window", "513"}, "from 0 to 512"},
        {{"--window", "x4"}, "from 0 to 16"},
        {{"--window", "-1"}, "from 0 to 16"},
        // The guard interval given after --window counts.
        {{"--window", "32", "-D", "1/8"}, nullptr},
    };
    for (const Case& c : cases) {
        fs::remove(path("out.bin"));
        std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out", "-d", "t"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const RunResult result = run(arguments);
        const std::string label = c.options[1];
        if (!c.limits) {
            EXPECT_EQ(result.exit_code, 0) << label << result.console;
            EXPECT_TRUE(fs::exists(path("out.bin"))) << label;
            continue;
        }
        EXPECT_EQ(result.exit_code, 1) << label;
        EXPECT_NE(result.console.find(std::string("FATAL ERROR: --window takes a number of "
                                                  "samples ") +
                                      c.limits),
                  std::string::npos)
            << label << result.console;
        EXPECT_FALSE(fs::exists(path("out.bin"))) << label;
    }
}

}  // namespace
}  // namespace terramod::e2e
