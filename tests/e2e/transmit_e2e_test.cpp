// The run's ends that are not files: an SDR device through SoapySDR (the test
// device module of tests/soapy_device records what it is sent), the input
// looped, and the stream re-timed to the channel's rate.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/io/ts_test_support.h"

namespace terramod::e2e {
namespace {

class DeviceE2e : public TestDeviceE2e {
  protected:
    std::string device(const std::string& extra = "") const {
        return test_device(",pace=0" + extra);
    }
};

struct DeviceCase {
    std::vector<std::string> settings;
};

class DeviceRecordingE2e : public DeviceE2e, public ::testing::WithParamInterface<DeviceCase> {};

// What the device recorded is, bit for bit, the file output of the same
// settings.
TEST_P(DeviceRecordingE2e, RecordingEqualsTheFileOutput) {
    write_file(path("in.ts"), make_stream(150 * 188));
    std::vector<std::string> file_run = {"-i", "in.ts", "-o", "file", "-d",
                                         "t",  "-v",    "0",  "-l",   "file.log"};
    std::vector<std::string> device_run = {
        "-i", "in.ts", "-v", "2", "-l", "device.log", "--device", device(), "--frequency", "474e6"};
    for (const std::string& setting : GetParam().settings) {
        file_run.push_back(setting);
        device_run.push_back(setting);
    }
    ASSERT_EQ(run(file_run).exit_code, 0);
    const RunResult result = run(device_run);
    ASSERT_EQ(result.exit_code, 0) << result.console;
    EXPECT_EQ(read_file(path("rec.bin")), read_file(path("file.bin")));
    EXPECT_TRUE(ends_with(read_file(path("device.log")), kFooter));
    EXPECT_NE(result.console.find("SDR underflows: 0"), std::string::npos) << result.console;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, DeviceRecordingE2e,
    ::testing::Values(DeviceCase{{}}, DeviceCase{{"-8k", "-M", "64", "-p", "7/8", "-F", "2x"}},
                      DeviceCase{{"-M", "16", "-F", "2x", "--sample-type", "cs16"}},
                      DeviceCase{{"-8k", "-f", "BBIF", "-b", "6", "--sample-type", "cs16"}}));

// Refused before anything is sent: the device records nothing.
TEST_F(DeviceE2e, RefusalsSendNothing) {
    write_file(path("in.ts"), make_stream(188));
    struct Refusal {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {{"--device", device()}, "FATAL ERROR: --device needs the transmit frequency"},
        {{"--device", device(",rates=1e6:2e6"), "--frequency", "474e6"}, "9142857.14"},
        {{"--device", device(), "--frequency", "474e6", "--sample-type", "cs8"}, "not cs8"},
        {{"--device", device(), "--frequency", "474e6", "-F", "agi"}, "not -F agi or hp"},
        {{"--device", device(), "--frequency", "474e6", "--antenna", "TX9"}, "TX9"},
    };
    for (const Refusal& refusal : refusals) {
        std::vector<std::string> arguments = {"-i", "in.ts", "-v", "0"};
        arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1) << refusal.message;
        EXPECT_NE((result.console + result.errors).find(refusal.message), std::string::npos)
            << result.console << result.errors;
        EXPECT_TRUE(!fs::exists(path("rec.bin")) || fs::file_size(path("rec.bin")) == 0);
    }
}

TEST_F(DeviceE2e, ReportedUnderflowIsWarnedAndCounted) {
    write_file(path("in.ts"), make_stream(150 * 188));
    const RunResult result = run({"-i", "in.ts", "-v", "2", "--device",
                                  device(",underflow_at=200000"), "--frequency", "474e6"});
    // Samples lost on the air: the run failed.
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.console.find("SDR underflows: 1"), std::string::npos) << result.console;
}

// SIGINT in a looped transmission: the block in progress is sent, the
// stream drained and closed, the log complete, exit 0; the recording is the
// input's passes back to back, one continuous signal.
TEST_F(DeviceE2e, LoopedTransmissionStopsCleanlyOnSigint) {
    const std::string pass = make_stream(100 * 188);
    write_file(path("in.ts"), pass);
    std::string repeated;
    for (int copy = 0; copy < 40; ++copy) repeated += pass;
    write_file(path("repeated.ts"), repeated);
    ASSERT_EQ(
        run({"-i", "repeated.ts", "-o", "repeated", "-d", "t", "-v", "0", "-l", "r.log"}).exit_code,
        0);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(directory_.c_str()) != 0) ::_exit(126);
        std::freopen("/dev/null", "w", stdout);
        // A buffer of half a second: a loaded machine does not starve the device.
        const std::string args = device(",pace=1,buffer=4194304");
        ::execl(TERRAMOD_BINARY, TERRAMOD_BINARY, "-i", "in.ts", "--loop", "-l", "loop.log", "-v",
                "2", "--device", args.c_str(), "--frequency", "474e6", nullptr);
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(::kill(child, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string log = read_file(path("loop.log"));
    // A complete run; exit 2 only when a loaded machine made the device
    // underflow, which the log then says.
    EXPECT_TRUE(
        WEXITSTATUS(status) == 0 ||
        (WEXITSTATUS(status) == 2 && log.find("WARNING: SDR underflows: ") != std::string::npos))
        << WEXITSTATUS(status);
    EXPECT_NE(log.find("WARNING: SIGINT stopped the run"), std::string::npos);
    EXPECT_NE(log.find("Input wrapped to its beginning (pass 2)"), std::string::npos);
    EXPECT_TRUE(ends_with(log, kFooter));
    const std::string recording = read_file(path("rec.bin"));
    const std::string expected = read_file(path("repeated.bin"));
    const size_t cycle = 8 * static_cast<size_t>(kSamples);
    ASSERT_GT(recording.size(), cycle);
    EXPECT_EQ(recording.size() % cycle, 0u);
    // The repeated file's last cycle is padded; compare the cycles before it.
    const size_t compared = std::min(recording.size(), expected.size() - cycle);
    EXPECT_EQ(recording.substr(0, compared), expected.substr(0, compared));
}

TEST_F(E2eTest, DeviceWithoutSoapySdrOrWithStandardOutputIsRefused) {
    write_file(path("in.ts"), make_stream(188));
    const RunResult result = run(
        {"-i", "in.ts", "-o", "-", "--device", "driver=none", "--frequency", "474e6", "-v", "0"});
    EXPECT_EQ(result.exit_code, 1);
#ifdef SOAPY_MODULE_DIR
    EXPECT_NE(result.errors.find("FATAL ERROR: --device and -o - both ask for the samples"),
              std::string::npos);
#else
    EXPECT_NE(result.errors.find("this build of terramod has no SoapySDR"), std::string::npos);
#endif
}

// Re-timing: a 4 Mbit/s stream is warned of without --adapt-rate and carried
// with it; a stream faster than the channel and one without PCR stop with
// their messages and exit 1.
TEST_F(E2eTest, RateAdaptationAndTheMismatchWarning) {
    auto stream_file = [this](const std::string& name, double rate, bool pcr) {
        test::StreamPlan plan;
        plan.rate = rate;
        plan.seconds = 2.0;
        plan.pcr = pcr;
        const test::Bytes bytes = test::make_stream(plan);
        write_file(path(name), std::string(bytes.begin(), bytes.end()));
    };
    stream_file("slow.ts", 4e6, true);
    stream_file("fast.ts", 12e6, true);
    stream_file("nopcr.ts", 4e6, false);

    const RunResult plain = run({"-i", "slow.ts", "-o", "plain", "-d", "t", "-v", "1"});
    EXPECT_EQ(plain.exit_code, 0);
    EXPECT_EQ(count_of(plain.console, "--adapt-rate"), 1) << plain.console;

    const RunResult adapted =
        run({"-i", "slow.ts", "-o", "adapted", "-d", "t", "-v", "2", "--adapt-rate"});
    EXPECT_EQ(adapted.exit_code, 0);
    EXPECT_NE(adapted.console.find("Null packets added"), std::string::npos);
    EXPECT_GT(fs::file_size(path("adapted.bin")), fs::file_size(path("plain.bin")));

    const RunResult fast =
        run({"-i", "fast.ts", "-o", "fast", "-d", "t", "-v", "0", "--adapt-rate"});
    EXPECT_EQ(fast.exit_code, 1);
    EXPECT_NE(fast.console.find("FATAL ERROR: "), std::string::npos);
    EXPECT_NE(fast.console.find("6.032086 Mbit/s"), std::string::npos) << fast.console;

    const RunResult none =
        run({"-i", "nopcr.ts", "-o", "none", "-d", "t", "-v", "0", "--adapt-rate"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_NE(none.console.find("no PCR"), std::string::npos) << none.console;
}

}  // namespace
}  // namespace terramod::e2e
