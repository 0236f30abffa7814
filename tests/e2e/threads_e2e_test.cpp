// With worker threads a run computes the front of the next cycle (input to
// frame builder) while the threads compute the back of this one (transform
// to output shaping), and holds the next cycle's messages back. Whatever the
// thread count, the signal and every line of the log are those of one
// thread: checked with packets out of sync (warnings inside the held text),
// every interpolation, windowing, integer samples, two streams, from a file
// and a pipe, to a file, standard output and the SoapySDR test device.
#include <sys/wait.h>

#include <cstdlib>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

// Where the samples go (to out.bin), the console's text to console.txt.
constexpr const char* kToFile = " -o out -d t >console.txt 2>&1";
constexpr const char* kToStdout = " -o - >out.bin 2>console.txt";
constexpr const char* kToDevice =
    " --frequency 474e6 --device driver=terramod_test,pace=0,record=out.bin >console.txt 2>&1";

struct ThreadsCase {
    const char* label;
    std::vector<std::string> options;
    bool from_pipe;
    const char* output = kToFile;
};
void PrintTo(const ThreadsCase& c, std::ostream* out) {
    *out << c.label;
}

const std::vector<std::string> kTwoStreams = {"-M", "16", "-a", "2", "--lp-input", "lp.ts"};

const ThreadsCase kThreadsCases[] = {
    {"Mode8kQam16x2", {"-8k", "-M", "16", "-a", "4", "-p", "3/4", "-D", "1/16", "-F", "2x"}, false},
    {"Mode8kBbIfx4", {"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-f", "BBIF", "-F", "4x"}, false},
    {"Qam16Agilent", {"-M", "16", "-p", "2/3", "-F", "agi"}, false},
    {"WindowCs16", {"-2k", "-D", "1/32", "--window", "16", "--sample-type", "cs16"}, false},
    {"PipeQpsk", {"-2k", "-M", "4", "-D", "1/4", "-F", "2x"}, true},
    {"StdoutQam64x4", {"-M", "64", "-D", "1/8", "-F", "4x"}, false, kToStdout},
    {"StdoutFromPipe", {"-8k", "--sample-type", "cs8"}, true, kToStdout},
    {"DeviceCs16x2", {"-M", "16", "-F", "2x", "--sample-type", "cs16"}, false, kToDevice},
    {"DeviceFromPipe", {"-8k", "-M", "64", "-D", "1/4"}, true, kToDevice},
    {"TwoStreamsToFile", kTwoStreams, false},
    {"TwoStreamsToStdout", kTwoStreams, true, kToStdout},
    {"TwoStreamsToDevice", kTwoStreams, false, kToDevice},
};

class ThreadsE2e : public E2eTest, public ::testing::WithParamInterface<ThreadsCase> {
  protected:
    // Runs terramod over in.ts with `threads`; the sample files' bytes and
    // the log in one text.
    std::pair<std::string, std::string> run_with(const ThreadsCase& c, int threads) {
        std::string command = "cd ";
        command.append(shell_quote(directory_.string())).append(" && ");
        if (c.from_pipe) command.append("cat in.ts | ");
        command.append(shell_quote(TERRAMOD_BINARY))
            .append(c.from_pipe ? " -i -" : " -i in.ts")
            .append(" -v 4 -l run.log --threads ")
            .append(std::to_string(threads));
        for (const std::string& option : c.options) command.append(" ").append(shell_quote(option));
        command.append(c.output);
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.label << " " << threads;
        std::string samples;
        for (const char* name : {"out.bin", "out_I.bin", "out_Q.bin"})
            if (fs::exists(path(name))) samples += read_file(path(name));
        return {samples, log_without_timing(read_file(path("run.log")))};
    }
};

TEST_P(ThreadsE2e, EveryThreadCountGivesTheOneThreadSignalAndLog) {
    const ThreadsCase& c = GetParam();
#ifdef SOAPY_MODULE_DIR
    ::setenv("SOAPY_SDR_PLUGIN_PATH", SOAPY_MODULE_DIR, 1);
#else
    if (c.output == kToDevice) GTEST_SKIP() << "built without SoapySDR";
#endif
    std::string stream = make_stream(3000 * 188);
    for (const int packet : {100, 1400, 2800}) stream[static_cast<size_t>(packet) * 188] = 0x00;
    write_file(path("in.ts"), stream);
    // A shorter LP stream, ended in the second cycle and padded from there.
    write_file(path("lp.ts"), stream.substr(0, 100 * 188));
    const auto [samples, log] = run_with(c, 1);
    ASSERT_FALSE(samples.empty());
    ASSERT_GE(count_of(log, "*** Cycle #"), 3) << log;
    ASSERT_EQ(count_of(log, "MPEG-2 TS Out of Sync in packet"), 3) << log;
    for (const int threads : {2, 3, 8}) {
        const auto [other_samples, other_log] = run_with(c, threads);
        EXPECT_TRUE(other_samples == samples) << threads << " threads: the samples differ";
        EXPECT_EQ(other_log, log) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, ThreadsE2e, ::testing::ValuesIn(kThreadsCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace terramod::e2e
