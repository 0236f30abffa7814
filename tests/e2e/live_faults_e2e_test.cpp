// A live run's faults as they happen: a signal that ends a wait on input or
// output at once, a second signal that still leaves a readable log, an input
// that stalls, a device that starts, stalls or underflows; and the texts and
// metadata that say what a run does.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/live_run.h"

namespace terramod::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class LiveFaultsE2e : public E2eTest {
  protected:
    std::string console() const { return read_file(path(".console")); }
};

// Every wait ends within a second of the signal: a stalled standard input, a
// reader of standard output that reads nothing, an input that never shows a
// packet (/dev/zero), a stalled LP stream. The run ends as a stopped run
// (the warning, 128 + the signal) with whole cycles in its dump.
TEST_F(LiveFaultsE2e, ASignalEndsAWaitOnInputOrOutputAtOnce) {
    write_file(path("in.ts"), make_stream(40 * kTsBytes));
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool pipe_input;
        bool pipe_output;
        int signal;
    };
    const std::vector<Case> cases = {
        {"stalled input", {"-i", "-", "-o", "s", "-d", "e"}, true, false, SIGTERM},
        {"unread output", {"-i", "in.ts", "-o", "-", "-d", "e"}, false, true, SIGINT},
        {"no packet ever", {"-i", "/dev/zero", "-o", "s", "-d", "e"}, false, false, SIGTERM},
        {"stalled LP input",
         {"-i", "in.ts", "--lp-input", "-", "-M", "16", "-a", "2", "-o", "s", "-d", "e"},
         true,
         false,
         SIGHUP},
    };
    for (const Case& test : cases) {
        fs::remove(path("s_ed.bin"));
        std::vector<std::string> arguments = test.arguments;
        arguments.insert(arguments.end(), {"-l", "run.log", "-v", "1"});
        LiveRun run(directory_, arguments, test.pipe_input, test.pipe_output);
        // Three cycles' packets, then nothing more while the pipe stays open.
        if (test.pipe_input) {
            ASSERT_TRUE(run.feed(make_stream(3 * kTsBytes))) << test.name;
        }
        std::this_thread::sleep_for(milliseconds(700));
        run.signal(test.signal);
        const std::optional<int> status = run.wait(milliseconds(1500));
        ASSERT_TRUE(status.has_value()) << test.name << ": still waiting after the signal";
        EXPECT_EQ(exit_code(status), 128 + test.signal) << test.name << console();
        EXPECT_NE(read_file(path("run.log")).find(" stopped the run after "), std::string::npos)
            << test.name;
        if (fs::exists(path("s_ed.bin"))) {
            EXPECT_EQ(fs::file_size(path("s_ed.bin")) % kTsBytes, 0u) << test.name;
        }
    }
}

// A second signal ends the process at once, and the log ends with whole
// lines and the line that says why.
TEST_F(LiveFaultsE2e, ASecondSignalLeavesTheLogWithWholeLinesAndItsLastLine) {
    write_file(path("in.ts"), make_stream(4000 * kTsBytes));
    // Level 3 writes lines in pieces ("Reading ... " then "N bytes read.").
    LiveRun run(directory_, {"-i", "in.ts", "-8k", "-M", "64", "-l", "run.log", "-v", "3"}, false,
                false);
    std::this_thread::sleep_for(milliseconds(600));
    // Two signals of one kind sent at once may arrive as one: two kinds,
    // taken in the order of their numbers.
    run.signal(SIGINT);
    run.signal(SIGTERM);
    const std::optional<int> status = run.wait(milliseconds(2000));
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
    const std::string log = read_file(path("run.log"));
    const std::string last = "\nWARNING: stopped by a second signal (SIGTERM)\n";
    ASSERT_TRUE(ends_with(log, last)) << log.substr(log.size() > 300 ? log.size() - 300 : 0);
    // No piece of text written twice or lost in between: the only empty
    // lines are the header's and the parameter report's.
    EXPECT_EQ(count_of(log, "\n\n"), 2) << "an empty line that terramod does not write";
    EXPECT_NE(log.find("*** Cycle #"), std::string::npos);
}

// A stall of the input is said while it lasts, and its length when data
// comes again; nothing of the stream is lost.
TEST_F(LiveFaultsE2e, AStalledInputIsWarnedOfWhileItLasts) {
    const std::string stream = make_stream(4 * kTsBytes);
    LiveRun run(directory_, {"-i", "-", "-o", "s", "-d", "e", "-l", "run.log", "-v", "1"}, true,
                false);
    ASSERT_TRUE(run.feed(stream.substr(0, kTsBytes + 188)));
    std::this_thread::sleep_for(milliseconds(1600));
    const std::string during = console();
    const std::string log_during = read_file(path("run.log"));
    ASSERT_TRUE(run.feed(stream.substr(kTsBytes + 188)));
    run.close_input();
    EXPECT_EQ(exit_code(run.wait(milliseconds(3000))), 0);
    EXPECT_NE(during.find("WARNING: no input from standard input for 1.0 s: waiting\n"),
              std::string::npos)
        << during;
    EXPECT_NE(log_during.find("WARNING: no input from standard input"), std::string::npos)
        << "the log is brought up to date before a wait";
    const std::string log = read_file(path("run.log"));
    EXPECT_NE(log.find("Input from standard input again after 1."), std::string::npos) << log;
    EXPECT_EQ(fs::file_size(path("s_ed.bin")), 4u * kTsBytes);
}

// -o without -d t writes no sample file: said once, at level 1.
TEST_F(LiveFaultsE2e, AnOutputNameWithoutTheSampleDumpIsNoted) {
    write_file(path("in.ts"), make_stream(kTsBytes));
    const std::string note = "Note: the sample file out.bin is written only with -d t\n";
    struct Case {
        std::vector<std::string> arguments;
        int notes;
    };
    const std::vector<Case> cases = {{{"-o", "out.x", "-v", "1"}, 1},
                                     {{"-o", "out", "-d", "e", "-v", "1"}, 1},
                                     {{"-o", "out", "-d", "t", "-v", "1"}, 0},
                                     {{"-o", "out", "-v", "0"}, 0},
                                     {{"-v", "1"}, 0}};
    for (const Case& test : cases) {
        std::vector<std::string> arguments = {"-i", "in.ts", "-l", "run.log"};
        arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(count_of(result.console, note), test.notes) << result.console;
    }
}

// --frequency is the capture's centre frequency in the SigMF metadata.
TEST_F(LiveFaultsE2e, TheFrequencyIsRecordedInTheCapture) {
    write_file(path("in.ts"), make_stream(kTsBytes));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "a", "-d", "t", "-l", "a.log"}).exit_code, 0);
    ASSERT_EQ(
        run({"-i", "in.ts", "-o", "b", "-d", "t", "-l", "b.log", "--frequency", "474e6"}).exit_code,
        0);
    EXPECT_NE(read_file(path("a.sigmf-meta")).find("\"captures\": [{\"core:sample_start\": 0}]"),
              std::string::npos);
    EXPECT_NE(
        read_file(path("b.sigmf-meta"))
            .find("\"captures\": [{\"core:sample_start\": 0, \"core:frequency\": 474000000}]"),
        std::string::npos)
        << read_file(path("b.sigmf-meta"));
}

#ifdef SOAPY_MODULE_DIR
class DeviceFaultsE2e : public TestDeviceE2e {
  protected:
    std::string console() const { return read_file(path(".console")); }
    std::string device(const std::string& extra) const { return test_device(extra); }
};

// A device that starts sending when its stream is activated underflows when
// activated before the samples are ready (--prime 0: at set-up, and after
// the first cycle the input stalls for half a second). Primed with the
// default 100 ms it is activated only with the samples ready: here, six
// cycles (94 ms), at the end with all of them, whatever the machine's load.
// Samples lost on the air fail the run.
TEST_F(DeviceFaultsE2e, APrimedDeviceStartsWithoutUnderflow) {
    constexpr int kCycles = 6;
    const std::string stream = make_stream(kCycles * kTsBytes);
    struct Case {
        std::vector<std::string> prime;
        bool underflows;
    };
    for (const Case& test : {Case{{}, false}, Case{{"--prime", "0"}, true}}) {
        std::vector<std::string> arguments = {
            "-i",          "-",       "-v",       "2",
            "-l",          "run.log", "--device", device(",pace=1,start=activate"),
            "--frequency", "474e6"};
        arguments.insert(arguments.end(), test.prime.begin(), test.prime.end());
        LiveRun live(directory_, arguments, true, false);
        ASSERT_TRUE(live.feed(stream.substr(0, kTsBytes)));
        std::this_thread::sleep_for(milliseconds(500));
        ASSERT_TRUE(live.feed(stream.substr(kTsBytes)));
        live.close_input();
        const std::optional<int> status = live.wait(milliseconds(8000));
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(exit_code(status), test.underflows ? 2 : 0) << console();
        EXPECT_EQ(console().find("SDR underflows: 0, late") != std::string::npos, !test.underflows)
            << console();
        // Priming loses nothing: every cycle's samples went out.
        EXPECT_EQ(fs::file_size(path("rec.bin")), uint64_t{kCycles} * kSamples * 8);
    }
}

// What a device run says: where the samples go, and that its speed is the
// device's; no default sample file is announced.
TEST_F(DeviceFaultsE2e, ADeviceRunSaysWhatItDoes) {
    write_file(path("in.ts"), make_stream(3 * kTsBytes));
    const RunResult result = run({"-i", "in.ts", "-v", "2", "-l", "run.log", "--device",
                                  device(",pace=0"), "--frequency", "474e6"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console.find("no DAC stream file name"), std::string::npos);
    EXPECT_EQ(result.console.find("DAC stream dumping selected"), std::string::npos);
    EXPECT_NE(result.console.find("Transmitting through the SDR device - Standard format\n"),
              std::string::npos);
    EXPECT_NE(result.console.find("The run went at the SDR device's pace: "), std::string::npos);
    EXPECT_EQ(result.console.find("times slower than real-time"), std::string::npos);
}

// A device that takes no more samples stops the run as a fatal error: no
// progress line after the message, no footer, exit 2.
TEST_F(DeviceFaultsE2e, AStalledDeviceIsAFatalStop) {
    write_file(path("in.ts"), make_stream(20 * kTsBytes));
    const RunResult result =
        run({"-i", "in.ts", "-v", "2", "-l", "run.log", "--device",
             device(",pace=0,stall_at=300000,buffer=65536"), "--frequency", "474e6"});
    EXPECT_EQ(result.exit_code, 2);
    const size_t fatal = result.console.find("FATAL ERROR: the SDR device took no samples for 5 s");
    ASSERT_NE(fatal, std::string::npos) << result.console;
    EXPECT_EQ(result.console.find("% done", fatal), std::string::npos) << result.console;
    EXPECT_FALSE(ends_with(read_file(path("run.log")), kFooter));
}

// While the input stalls, the device's underflows are warned of before the
// input comes back.
TEST_F(DeviceFaultsE2e, UnderflowsDuringAStallAreWarnedAsTheyHappen) {
    const std::string stream = make_stream(30 * kTsBytes);
    LiveRun live(directory_,
                 {"-i", "-", "-v", "2", "-l", "run.log", "--device",
                  device(",pace=1,buffer=200000"), "--frequency", "474e6", "--prime", "0"},
                 true, false);
    ASSERT_TRUE(live.feed(stream.substr(0, 20 * kTsBytes)));
    std::this_thread::sleep_for(milliseconds(2500));
    const std::string during = console();
    ASSERT_TRUE(live.feed(stream.substr(20 * kTsBytes)));
    live.close_input();
    EXPECT_EQ(exit_code(live.wait(milliseconds(5000))), 2) << "samples were lost on the air";
    EXPECT_NE(during.find("WARNING: no input from standard input"), std::string::npos) << during;
    EXPECT_NE(during.find("WARNING: SDR underflows: "), std::string::npos) << during;
}
#endif

}  // namespace
}  // namespace terramod::e2e
