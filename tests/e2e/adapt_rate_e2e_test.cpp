// --adapt-rate through the driver: the output's length, an empty input, and
// the LP stream of hierarchical transmission rate-checked and re-timed as the
// HP stream is (-M 64 -a 1 -p 1/2 -D 1/32 at 8 MHz: HP 6.032086, LP 12.064171
// Mbit/s).
#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/io/ts_test_support.h"

namespace terramod::e2e {
namespace {

class AdaptRateE2e : public E2eTest {
  protected:
    void write_stream(const std::string& name, double rate, double seconds, double null_share) {
        test::StreamPlan plan;
        plan.rate = rate;
        plan.seconds = seconds;
        plan.null_share = null_share;
        const test::Bytes bytes = test::make_stream(plan);
        write_file(path(name), std::string(bytes.begin(), bytes.end()));
    }
};

struct LpCase {
    const char* name;
    double lp_rate;
    double null_share;
    bool adapt;
    int exit_code;
    std::vector<std::string> shown;   // in the console at -v 2
    std::vector<std::string> absent;  // nowhere in it
};

const std::string kLpWarning =
    "WARNING: the LP stream's PCRs give 4.000000 Mbit/s but the LP channel carries 12.064171 "
    "Mbit/s: it would play at the wrong speed (--adapt-rate re-times it)\n";

TEST_F(AdaptRateE2e, TheLpStreamIsCheckedAndReTimedAtTheLpRate) {
    const LpCase cases[] = {
        {"slow_warned", 4e6, 0.1, false, 0, {kLpWarning}, {"the stream's PCRs", "Rate adaptation"}},
        {"right_rate_silent", 2 * test::kDefaultChannel, 0.1, false, 0, {}, {"WARNING"}},
        {"slow_adapted",
         4e6,
         0.1,
         true,
         0,
         {"Rate adaptation (LP stream):\n", "\tInput rate (PCR)    : 4.000000 Mbps\n",
          "\tChannel rate        : 12.064171 Mbps\n", "LP stream: "},
         {"WARNING"}},
        {"fast_stops",
         20e6,
         0.0,
         true,
         1,
         {"FATAL ERROR: the LP stream needs 20.000000 Mbit/s without its null packets"},
         {"Rate adaptation (LP stream)"}},
    };
    write_stream("hp.ts", test::kDefaultChannel, 2.0, 0.1);
    for (const LpCase& c : cases) {
        write_stream("lp.ts", c.lp_rate, 2.5, c.null_share);
        std::vector<std::string> arguments = {"-i", "hp.ts", "--lp-input", "lp.ts", "-M",
                                              "64", "-a",    "1",          "-o",    "h",
                                              "-d", "e",     "-v",         "2"};
        if (c.adapt) arguments.push_back("--adapt-rate");
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.name << result.console;
        for (const std::string& text : c.shown)
            EXPECT_EQ(count_of(result.console, text), 1) << c.name << ": " << text;
        for (const std::string& text : c.absent)
            EXPECT_EQ(count_of(result.console, text), 0) << c.name << ": " << text;
        if (c.exit_code != 0 || !c.adapt) continue;
        // The LP stream as re-timed is the one the same stream gets alone
        // in a channel of the LP rate (16QAM 1/2).
        ASSERT_EQ(
            run({"-i", "lp.ts", "-M", "16", "-o", "one", "-d", "e", "-v", "0", "--adapt-rate"})
                .exit_code,
            0);
        const std::string two = read_file(path("h_lp_ed.bin"));
        const std::string one = read_file(path("one_ed.bin"));
        const size_t common = std::min(two.size(), one.size());
        ASSERT_GT(common, 188u * 5000) << c.name;
        EXPECT_TRUE(two.compare(0, common, one, 0, common) == 0) << c.name;
    }
}

// The driver sends the whole duration of the input at the channel's rate:
// the energy-dispersal dump (the re-timed stream, randomised) holds at least
// that many packets and less than one more block. The input ends with half a
// second of its own null packets, which are dropped and owed as slots.
TEST_F(AdaptRateE2e, TheOutputLastsAsLongAsTheInput) {
    test::StreamPlan plan;
    plan.rate = 2e6;
    plan.seconds = 3.0;
    test::Bytes bytes = test::make_stream(plan);
    const size_t packets = bytes.size() / test::kPacket;
    for (size_t i = packets - packets / 6; i < packets; ++i) {
        uint8_t* packet = &bytes[i * test::kPacket];
        packet[1] = 0x1F;
        packet[2] = 0xFF;
        packet[3] = 0x10;
        std::fill(packet + 4, packet + test::kPacket, 0xFF);
    }
    write_file(path("slow.ts"), std::string(bytes.begin(), bytes.end()));
    const RunResult result =
        run({"-i", "slow.ts", "-o", "a", "-d", "e", "-v", "0", "--adapt-rate"});
    ASSERT_EQ(result.exit_code, 0) << result.console;
    const double expected =
        static_cast<double>(packets) * 1504 / plan.rate * test::kDefaultChannel / 1504;
    const double sent = static_cast<double>(fs::file_size(path("a_ed.bin")) / test::kPacket);
    EXPECT_GE(sent, expected - 1);
    EXPECT_LT(sent, expected + 200);  // a cycle's block at the defaults: 63 packets
}

// An empty input carries no PCR: the documented fatal stop, no footer.
TEST_F(AdaptRateE2e, AnEmptyInputStopsAsAStreamWithoutPcr) {
    write_file(path("empty.ts"), "");
    const RunResult result =
        run({"-i", "empty.ts", "-o", "a", "-d", "t", "-v", "1", "-l", "run.log", "--adapt-rate"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(count_of(result.console,
                       "FATAL ERROR: the stream carries no PCR: --adapt-rate cannot time it\n"),
              1)
        << result.console;
    EXPECT_EQ(result.console.find("times slower"), std::string::npos) << result.console;
    EXPECT_FALSE(ends_with(read_file(path("run.log")), kFooter));
}

}  // namespace
}  // namespace terramod::e2e
