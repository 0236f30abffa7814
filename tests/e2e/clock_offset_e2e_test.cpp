// --clock-offset on whole runs: the sample count of every output format is
// the clean run's N resampled, ceil(N / (1 + PPM 10^-6)); a device gets the
// samples a file does.
#include <cmath>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using ClockOffsetE2e = E2eTest;

TEST_F(ClockOffsetE2e, SampleCountOfEveryFormat) {
    write_file(path("in.ts"), make_stream(500 * 188));
    struct Case {
        const char* label;
        std::vector<std::string> options;
        const char* file;  // the sample file (the I file of the pair)
        size_t bytes_per_sample;
        double ppm;
    };
    const Case cases[] = {
        {"cf32", {}, ".bin", 8, 12.5},
        {"cs16", {"--sample-type", "cs16"}, ".bin", 4, -3},
        {"cs8 at 4x", {"-F", "4x", "--sample-type", "cs8"}, ".bin", 2, 1000},
        {"BB IF at 2x", {"-f", "BBIF", "-F", "2x"}, ".bin", 8, 250.5},
        {"Agilent words", {"-F", "agi"}, "_I.bin", 2, -1000},
        {"8k", {"-8k"}, ".bin", 8, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto samples_of = [&](const std::string& base, std::vector<std::string> extra) {
            std::vector<std::string> arguments = {"-i", "in.ts", "-o", base, "-d", "t", "-v", "0"};
            arguments.insert(arguments.end(), c.options.begin(), c.options.end());
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            EXPECT_EQ(run(arguments).exit_code, 0);
            return read_file(path(base + c.file)).size() / c.bytes_per_sample;
        };
        const size_t clean = samples_of("clean", {});
        const size_t offset = samples_of("offset", {"--clock-offset", std::to_string(c.ppm)});
        const long double expected = std::ceil(clean / (1 + c.ppm * 1e-6L));
        EXPECT_EQ(offset, static_cast<size_t>(expected)) << clean;
        if (std::string(c.file) == "_I.bin") {
            EXPECT_EQ(read_file(path("offset_Q.bin")).size(), offset * c.bytes_per_sample);
        }
    }
}

// To a device the same samples as to the file, the last ones included.
using ClockOffsetDeviceE2e = TestDeviceE2e;
TEST_F(ClockOffsetDeviceE2e, TheDeviceGetsTheFilesSamples) {
    write_file(path("in.ts"), make_stream(300 * 188));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "file", "-d", "t", "-v", "0", "--clock-offset", "-12.5"})
                  .exit_code,
              0);
    const RunResult sent = run({"-i", "in.ts", "--device", test_device(",pace=0"), "--frequency",
                                "474e6", "-v", "0", "--clock-offset", "-12.5"});
    ASSERT_EQ(sent.exit_code, 0) << sent.console;
    EXPECT_TRUE(read_file(path("rec.bin")) == read_file(path("file.bin")));
}

}  // namespace
}  // namespace terramod::e2e
