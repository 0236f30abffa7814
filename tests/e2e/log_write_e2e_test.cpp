// A log file that cannot be written: the run goes on with the console, says
// so once, and its exit code tells that a file failed.
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using LogWriteE2e = E2eTest;

TEST_F(LogWriteE2e, LogOnAFullDeviceWarnsOnceAndEndsWithCodeTwo) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    write_file(path("in.ts"), make_stream(2 * kTsBytes));
    const std::string warning =
        "WARNING: Can't write to log file \"/dev/full\" -> logging to console only\n";
    for (const std::string verbosity : {"0", "1", "4"}) {
        const RunResult result =
            run({"-i", "in.ts", "-o", "out", "-d", "t", "-l", "/dev/full", "-v", verbosity});
        EXPECT_EQ(result.exit_code, 2) << verbosity;
        EXPECT_EQ(count_of(result.console, warning), 1) << verbosity << result.console;
        // The samples are whole: two cycles.
        EXPECT_EQ(fs::file_size(path("out.bin")), 2 * kSamples * 8) << verbosity;
    }
    // At -v 1 the console holds the speed line and the warning, nothing else.
    const RunResult quiet = run({"-i", "in.ts", "-l", "/dev/full", "-v", "1"});
    EXPECT_EQ(quiet.exit_code, 2);
    EXPECT_EQ(count_of(quiet.console, "\n"), 2) << quiet.console;
    EXPECT_EQ(count_of(quiet.console, warning), 1) << quiet.console;
    EXPECT_EQ(count_of(quiet.console, "Elapsed time = "), 1) << quiet.console;
}

TEST_F(LogWriteE2e, WritableLogKeepsExitCodeZero) {
    write_file(path("in.ts"), make_stream(kTsBytes));
    const RunResult result = run({"-i", "in.ts", "-l", "run.log", "-v", "0"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console, "");
    EXPECT_TRUE(ends_with(read_file(path("run.log")), kFooter));
}

}  // namespace
}  // namespace terramod::e2e
