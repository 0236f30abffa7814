// The console of a paced run (its status line instead of the cycle lines),
// the log's size limit and its reopening after SIGUSR1, on whole runs.
#include <signal.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/live_run.h"

namespace terramod::e2e {
namespace {

// A status line of a run from a file (no buffer figure), with no fault.
const std::regex kStatusLine(
    "in (-|[0-9]+\\.[0-9]{2}) Mbit/s \\| out [0-9]+:[0-5][0-9]:[0-5][0-9] \\| underflows 0 \\| "
    "TS loss 0 \\| clipped 0");

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> status_lines(const std::string& console) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(console))
        if (std::regex_match(line, kStatusLine)) found.push_back(line);
    return found;
}

// Whether every "*** Cycle #n ***" from 1 to `cycles` is in `text` once, in
// order, and no other.
bool has_every_cycle(const std::string& text, int cycles) {
    size_t at = 0;
    for (int number = 1; number <= cycles; ++number) {
        const std::string header = "*** Cycle #" + std::to_string(number) + " ***\n";
        at = text.find(header, at);
        if (at == std::string::npos || count_of(text, header) != 1) return false;
    }
    return count_of(text, "*** Cycle #") == cycles;
}

// Lines that differ from run to run (times) left out.
std::string without_timing(const std::string& text) {
    std::string kept;
    for (const std::string& line : lines_of(text))
        if (line.find("Elapsed time") == std::string::npos &&
            line.find("times faster") == std::string::npos &&
            line.find("times slower") == std::string::npos &&
            line.find("Log file for terramod") == std::string::npos)
            kept += line + "\n";
    return kept;
}

class StatusLineE2e : public E2eTest {};

// 80 cycles (1.26 s of signal at the default settings): a paced run's
// console shows the parameter report, status lines (not on a terminal: one
// line each) from -v 1 on, and the run report, but no cycle or progress
// line, which the log file keeps as -v allows; a run to a file without
// --realtime prints its console as always.
TEST_F(StatusLineE2e, PacedRunShowsTheStatusLineInsteadOfTheCycles) {
    constexpr int kCycles = 80;
    write_file(path("in.ts"), make_stream(kCycles * kTsBytes));
    struct Case {
        std::vector<std::string> options;
        bool status;          // status lines on the console
        bool console_cycles;  // every cycle header on the console
        bool log_cycles;      // every cycle header in the log
        bool report;          // the parameter report on the console
    };
    const Case cases[] = {
        {{"--realtime"}, true, false, true, true},
        {{"--realtime", "-v", "1"}, true, false, false, false},
        {{"--realtime", "-v", "0"}, false, false, false, false},
        {{}, false, true, true, true},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out",
                                              "-d", "t",     "-l", "run.log"};
        arguments.insert(arguments.end(), test.options.begin(), test.options.end());
        SCOPED_TRACE(test.options.empty() ? "file run" : test.options.back());
        const RunResult result = run(arguments);
        ASSERT_EQ(result.exit_code, 0) << result.console << result.errors;
        const std::string log = read_file(path("run.log"));
        const std::vector<std::string> status = status_lines(result.console);
        EXPECT_EQ(has_every_cycle(log, kCycles), test.log_cycles);
        EXPECT_EQ(has_every_cycle(result.console, kCycles), test.console_cycles);
        EXPECT_EQ(result.console.find("Output sampling rate") != std::string::npos, test.report);
        EXPECT_EQ(log.find("Output sampling rate") != std::string::npos, test.report);
        if (!test.status) {
            EXPECT_TRUE(status.empty()) << result.console;
            continue;
        }
        EXPECT_EQ(count_of(result.console, "*** Cycle"), 0);
        EXPECT_EQ(count_of(result.console, "% done"), 0);
        EXPECT_EQ(count_of(log, "in - Mbit/s |"), 0);  // the status line is the console's
        // One at the first cycle, one a second later, one at the end: the
        // last one with the time sent, together and before the run report.
        ASSERT_GE(status.size(), 3u) << result.console;
        EXPECT_LE(status.size(), 5u) << result.console;
        EXPECT_NE(status.front().find("out 0:00:00"), std::string::npos) << status.front();
        EXPECT_NE(status.back().find("out 0:00:01"), std::string::npos) << status.back();
        std::string together;
        for (const std::string& line : status) together += line + "\n";
        const size_t block = result.console.find(together);
        ASSERT_NE(block, std::string::npos) << result.console;
        EXPECT_EQ(result.console.compare(block + together.size(), 15, "Elapsed time = "), 0)
            << result.console;
    }
}

// --log-max-size in a run to a file: the console as without it, and the
// log's lines split over NAME.1 and NAME, none lost or repeated.
TEST_F(StatusLineE2e, LogMaxSizeKeepsEveryLineInTwoFiles) {
    // 200 cycles write about 100 KB of log at -v 4.
    write_file(path("in.ts"), make_stream(200 * kTsBytes));
    const RunResult whole = run({"-i", "in.ts", "-o", "out", "-d", "t", "-l", "whole.log"});
    const RunResult capped =
        run({"-i", "in.ts", "-o", "out", "-d", "t", "-l", "capped.log", "--log-max-size", "64k"});
    ASSERT_EQ(whole.exit_code, 0);
    ASSERT_EQ(capped.exit_code, 0);
    const std::string all = read_file(path("whole.log"));
    ASSERT_GT(all.size(), 64u * 1024);
    ASSERT_LT(all.size(), 128u * 1024);
    // (Compared as a truth: the texts are long.)
    EXPECT_TRUE(without_timing(capped.console) == without_timing(whole.console));
    const std::string older = read_file(path("capped.log.1"));
    const std::string newest = read_file(path("capped.log"));
    EXPECT_LE(older.size(), 64u * 1024);
    EXPECT_LE(newest.size(), 64u * 1024);
    const std::string continued = "This log continues capped.log.1\n";
    ASSERT_EQ(log_body(newest).rfind(continued, 0), 0u) << newest.substr(0, 200);
    EXPECT_TRUE(without_timing(log_body(older) + log_body(newest).substr(continued.size())) ==
                without_timing(log_body(all)));
    EXPECT_TRUE(ends_with(newest, kFooter));
}

// SIGUSR1 while a paced run transmits: the run goes on to its end (exit 0,
// every cycle), the lines before it stay in the file logrotate moved away,
// the rest go to the new file after the line saying it was reopened.
TEST_F(StatusLineE2e, Sigusr1ReopensTheLogOfARunningTransmission) {
    constexpr int kCycles = 150;  // 2.4 s of signal
    write_file(path("in.ts"), make_stream(kCycles * kTsBytes));
    LiveRun run(directory_, {"-i", "in.ts", "-o", "out", "-d", "t", "-l", "run.log", "--realtime"},
                false, false);
    // Once the log holds some cycles, move it away and signal the run.
    const Clock::time_point deadline = Clock::now() + milliseconds(10000);
    bool started = false;
    while (!(started = read_file(path("run.log")).find("*** Cycle #20 ***") != std::string::npos) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
    ASSERT_TRUE(started);
    fs::rename(path("run.log"), path("run.log.1"));
    run.signal(SIGUSR1);
    ASSERT_EQ(exit_code(run.wait(milliseconds(15000))), 0);

    const std::string moved = read_file(path("run.log.1"));
    const std::string reopened = read_file(path("run.log"));
    EXPECT_EQ(moved.rfind("Log file for terramod ==> run.log , ", 0), 0u);
    EXPECT_GE(count_of(moved, "*** Cycle #"), 20);
    EXPECT_FALSE(ends_with(moved, kFooter));
    const std::string body = log_body(reopened);
    EXPECT_EQ(reopened.rfind("Log file for terramod ==> run.log , ", 0), 0u);
    EXPECT_EQ(body.rfind("Log file reopened on SIGUSR1, ", 0), 0u) << body.substr(0, 200);
    EXPECT_TRUE(ends_with(reopened, kFooter));
    // Every cycle in one of the two, in order.
    EXPECT_TRUE(has_every_cycle(moved + body, kCycles));
    EXPECT_GT(count_of(body, "*** Cycle #"), 0);
    const std::string console = read_file(path(".console"));
    EXPECT_EQ(count_of(console, "*** Cycle"), 0);
    EXPECT_GE(status_lines(console).size(), 3u) << console;
}

}  // namespace
}  // namespace terramod::e2e
