// What computing the next cycle's front ahead (--threads 2, 3) must leave as
// one thread has it: the stop when standard output's reader goes, the cycle
// a control change lands on, a paced cycle's samples while the next block is
// awaited. Default settings: 63 packets and 68 x 2112 samples a cycle.
#include <signal.h>

#include <regex>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/live_run.h"
#include "tests/ops/test_sockets.h"

namespace terramod::e2e {
namespace {

constexpr size_t kCycleBytes = 63 * 188;
constexpr int64_t kCycleSamples = 68 * 2112;

template <typename Done>
bool within_20_s(Done done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
    return done();
}

// The reader goes in cycle 4's samples, once cycle 5 (packet 270 out of sync)
// may have been read ahead: exit 2, the log of one thread, no cycle 5 in it.
TEST_F(E2eTest, AReaderGoneStopsTheRunAsOneThreadDoes) {
    std::string stream = make_stream(10 * kCycleBytes);
    for (const size_t packet : {100, 270}) stream[packet * 188] = 0x00;
    write_file(path("in.ts"), stream);
    std::string one_thread;
    for (const std::string threads : {"1", "2", "3"}) {
        const std::string run = shell_quote(TERRAMOD_BINARY) + " -i in.ts -o - -v 4 -l run.log " +
                                "--threads " + threads + " 2>/dev/null; echo $? >code.txt";
        ASSERT_EQ(std::system(("cd " + shell_quote(directory_.string()) + " && timeout 60 sh -c " +
                               shell_quote("{ " + run + "; } | head -c " +
                                           std::to_string(28 * kCycleSamples) + " >/dev/null"))
                                  .c_str()),
                  0);
        EXPECT_EQ(read_file(path("code.txt")), "2\n") << threads;
        const std::string log = log_without_timing(read_file(path("run.log")));
        EXPECT_EQ(count_of(log, "*** Cycle #4 ***") + count_of(log, "Out of Sync"), 2) << log;
        EXPECT_EQ(count_of(log, "*** Cycle #5"), 0) << log;
        EXPECT_TRUE(ends_with(log,
                              "FATAL ERROR: standard output was closed by its reader (broken "
                              "pipe) -> transmission stopped\n"));
        if (one_thread.empty()) one_thread = log;
        EXPECT_EQ(log, one_thread) << threads;
    }
}

// A gain set "from cycle #N": the device has then received cycles 1 to N - 1,
// less the few samples its sink holds back for the end of the burst.
TEST_F(TestDeviceE2e, AGainChangeLandsOnTheCycleTheLogNames) {
    write_file(path("in.ts"), make_stream(4 * kCycleBytes));
    const std::regex named("gain set to 30 dB \\(was 10 dB\\) from cycle #(\\d+)\n");
    for (const std::string threads : {"1", "2", "3"}) {
        const std::string socket = path("c.sock").string();
        fs::remove(path("run.log"));
        LiveRun run(directory_,
                    {"-i", "in.ts", "--loop", "-l", "run.log", "--threads", threads, "--frequency",
                     "474e6", "--gain", "10", "--prime", "0", "--control", "unix:" + socket,
                     "--device", "driver=terramod_test,pace=0,settings=set.txt"},
                    false, false);
        ASSERT_TRUE(within_20_s([&] { return fs::exists(socket); }));
        test::TestSocket control = test::TestSocket::connect_unix(socket);
        EXPECT_TRUE(control.send_all("set gain 30\n") && control.read_line() == "ok 30");
        std::smatch found;
        std::string log;
        EXPECT_TRUE(within_20_s([&] {
            log = read_file(path("run.log"));
            return std::regex_search(log, found, named);
        }));
        run.signal(SIGINT);
        EXPECT_EQ(exit_code(run.wait(milliseconds(30000))), 0);
        const int64_t boundary = (std::stoll(found[1].str()) - 1) * kCycleSamples;
        const std::string settings = read_file(path("set.txt"));
        const size_t at = settings.find(" gain 30\n");
        ASSERT_NE(at, std::string::npos) << settings;
        const int64_t received = std::stoll(settings.substr(settings.rfind('\n', at) + 1));
        EXPECT_TRUE(received > boundary - 8192 && received <= boundary)
            << threads << " threads: " << received << " received, cycle boundary " << boundary;
    }
}

// The device from a stream that stalls after 4 cycles: cycle 4's samples go
// out (less what the sink holds back) while the run awaits cycle 5's block.
TEST_F(TestDeviceE2e, APacedCycleGoesOutWhileTheNextBlockIsAwaited) {
    LiveRun run(directory_,
                {"-i", "-", "--threads", "2", "--prime", "0", "--frequency", "474e6", "--device",
                 "driver=terramod_test,pace=0,record=rec.bin"},
                true, false);
    ASSERT_TRUE(run.feed(make_stream(4 * kCycleBytes)));
    EXPECT_TRUE(within_20_s([&] {
        return fs::exists(path("rec.bin")) &&
               fs::file_size(path("rec.bin")) >= uintmax_t{8} * (4 * kCycleSamples - 8192);
    }));
    run.close_input();
    EXPECT_EQ(exit_code(run.wait(milliseconds(30000))), 0);
}

}  // namespace
}  // namespace terramod::e2e
