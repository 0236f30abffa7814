// The LP stream of hierarchical transmission rate-checked and re-timed as the
// HP stream is: a warning at the wrong rate, --adapt-rate at the LP channel's
// rate (-M 64 -a 1 -p 1/2 -D 1/32 at 8 MHz: HP 6.032086, LP 12.064171 Mbit/s).
#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/io/ts_test_support.h"

namespace terramod::e2e {
namespace {

class LpRateE2e : public E2eTest {
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

TEST_F(LpRateE2e, TheLpStreamIsCheckedAndReTimedAtTheLpRate) {
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

}  // namespace
}  // namespace terramod::e2e
