// --arithmetic fast on whole runs: within float rounding of the --precise
// signal, said in the log and the metadata, the same bytes with every vector
// kernel set and thread count, and pinned by digest, so that another machine
// (64-bit ARM) can be compared with this one.
#include <cmath>
#include <cstring>

#include "ofdm/simd_kernels.h"
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

struct Sample {
    float re, im;
};

std::vector<Sample> read_samples(const fs::path& file) {
    const std::string bytes = read_file(file);
    std::vector<Sample> samples(bytes.size() / sizeof(Sample));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(Sample));
    return samples;
}

// 10 log10 of the reference's power over that of the difference.
double mer_db(const std::vector<Sample>& reference, const std::vector<Sample>& other) {
    double signal = 0, error = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        const double re = reference[i].re, im = reference[i].im;
        signal += re * re + im * im;
        const double dre = double{other[i].re} - re, dim = double{other[i].im} - im;
        error += dre * dre + dim * dim;
    }
    return 10 * std::log10(signal / error);
}

class FastArithmeticE2e : public E2eTest {
  protected:
    void TearDown() override {
        unsetenv(kSimdEnvironmentVariable);
        E2eTest::TearDown();
    }
};

// Float rounding alone: above 110 dB in both modes (the exact arithmetic
// gives about 34 dB in 8k). The log's line comes after the parameters.
TEST_F(FastArithmeticE2e, IsThePreciseSignalToWithinFloatRounding) {
    write_file(path("in.ts"), make_stream(188 * 300));
    const std::vector<std::vector<std::string>> cases = {
        {"-2k", "-M", "16", "-D", "1/8"}, {"-8k", "-M", "64", "-D", "1/4", "-f", "BBIF"}};
    for (const auto& settings : cases) {
        std::vector<std::string> fast = {"-i", "in.ts", "-o",       "fast",         "-d",
                                         "t",  "-l",    "fast.log", "--arithmetic", "fast"};
        std::vector<std::string> precise = {"-i", "in.ts", "-o", "precise", "-d", "t", "--precise"};
        fast.insert(fast.end(), settings.begin(), settings.end());
        precise.insert(precise.end(), settings.begin(), settings.end());
        ASSERT_EQ(run(fast).exit_code, 0);
        const RunResult precise_run = run(precise);
        if (precise_run.exit_code != 0) GTEST_SKIP() << "built without FFTW";
        const auto fast_samples = read_samples(path("fast.bin"));
        const auto precise_samples = read_samples(path("precise.bin"));
        ASSERT_EQ(fast_samples.size(), precise_samples.size());
        ASSERT_FALSE(fast_samples.empty());
        EXPECT_GE(mer_db(precise_samples, fast_samples), 110.0) << settings[0];

        const std::string log = read_file(path("fast.log"));
        const size_t parameters_end = log.find("Nominal bandwidth");
        const size_t line =
            log.find("\nArithmetic: fast, transform and interpolator in single precision\n");
        ASSERT_NE(line, std::string::npos) << log;
        EXPECT_GT(line, parameters_end);
        EXPECT_NE(read_file(path("fast.sigmf-meta"))
                      .find("\"dvbt:transform\": \"fast (single precision)\""),
                  std::string::npos);
    }
    // The default run says nothing of its arithmetic.
    ASSERT_EQ(run({"-i", "in.ts", "-o", "exact", "-d", "t", "-l", "exact.log"}).exit_code, 0);
    EXPECT_EQ(read_file(path("exact.log")).find("Arithmetic"), std::string::npos);
    EXPECT_EQ(read_file(path("exact.sigmf-meta")).find("transform"), std::string::npos);
}

// Every kernel set (forced through TERRAMOD_SIMD) and 1, 2 or 3 threads give
// the same bytes, those recorded on x86-64 with AVX-512 (the digests are
// this arithmetic's definition at work: another machine must match them).
TEST_F(FastArithmeticE2e, EveryKernelSetAndThreadCountGiveTheRecordedBytes) {
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    struct Case {
        std::vector<std::string> settings;
        const char* digest;
    };
    const Case cases[] = {
        {{"-2k", "-M", "16", "-p", "2/3", "-D", "1/8"},
         "18559f282bf5d357483aef90e7f32e730672891953a1b13b72f5d77b707984a9"},
        {{"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-D", "1/4", "-f", "BBIF", "-F", "4x"},
         "7f33a3e918153a1853d682f2ab39ac1f3047a9eb9911cae32322b486dc07ce46"},
        {{"-8k", "-M", "16", "-p", "3/4", "-D", "1/32", "-F", "2x", "--window", "64"},
         "5c9acfebd4ea0b5036dd4fc543d83e5c258a6479bb5fd2fc8dbd523708d6fbb1"},
    };
    for (const SimdKernels* kernels : available_kernels()) {
        setenv(kSimdEnvironmentVariable, kernels->name, 1);
        for (const char* threads : {"1", "2", "3"}) {
            for (const Case& c : cases) {
                std::vector<std::string> arguments = {"-i", "in.ts",   "-o",           "out",
                                                      "-d", "t",       "--threads",    threads,
                                                      "-l", "run.log", "--arithmetic", "fast"};
                arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
                ASSERT_EQ(run(arguments).exit_code, 0);
                EXPECT_EQ(sha256_of(path("out.bin")), c.digest)
                    << kernels->name << " --threads " << threads << " " << c.settings[0] << " "
                    << c.settings.back();
            }
        }
    }
}

}  // namespace
}  // namespace terramod::e2e
