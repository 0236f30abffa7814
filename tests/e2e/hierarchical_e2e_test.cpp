// Hierarchical transmission (--lp-input) and any channel bandwidth
// (--bandwidth), run through the built terramod.
#include <string>
#include <vector>

#include "dvbt/dvbt.h"
#include "tests/e2e/e2e_support.h"
#include "tests/inner/reference_inner.h"

namespace terramod::e2e {
namespace {

class HierarchicalE2e : public E2eTest {};

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct HierarchicalCase {
    const char* constellation;
    const char* alpha;
    const char* hp_rate;
    const char* lp_rate;
    const char* mode;
};

constexpr HierarchicalCase kCases[] = {
    {"16", "1", "1/2", "1/2", "-2k"}, {"16", "2", "2/3", "7/8", "-2k"},
    {"16", "4", "7/8", "3/4", "-8k"}, {"64", "1", "3/4", "5/6", "-2k"},
    {"64", "2", "1/2", "2/3", "-8k"}, {"64", "4", "5/6", "1/2", "-2k"},
};

// The bit interleaver's output is the clause 4.3.4.1 oracle applied to the
// two punctured streams terramod dumped, for 16/64QAM x alpha x rate pairs.
TEST_F(HierarchicalE2e, BitInterleaverOutputIsTheOracleOfBothPuncturedStreams) {
    write_file(path("hp.ts"), make_stream(188 * 300));
    write_file(path("lp.ts"), make_stream(188 * 500 + 77));
    for (const HierarchicalCase& c : kCases) {
        SCOPED_TRACE(std::string(c.constellation) + " alpha " + c.alpha + " " + c.hp_rate + "/" +
                     c.lp_rate + " " + c.mode);
        const RunResult result =
            run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", c.constellation, "-a", c.alpha, "-p",
                 c.hp_rate, "--lp-rate", c.lp_rate, c.mode, "-o", "h", "-d", "pb", "-v", "0"});
        ASSERT_EQ(result.exit_code, 0) << result.console;
        const Constellation constellation = std::string(c.constellation) == "16" ? kQam16 : kQam64;
        const std::vector<uint8_t> cells = bytes_of(read_file(path("h_bi.bin")));
        ASSERT_FALSE(cells.empty());
        EXPECT_EQ(cells, reference::hierarchical_bit_interleave(
                             constellation, bytes_of(read_file(path("h_pu.bin"))),
                             bytes_of(read_file(path("h_lp_pu.bin")))));
    }
}

// Each stream's own stages are the single-stream chain: the HP dumps equal a
// run of the HP input alone at the HP rate, the LP dumps (<base>_lp_*.bin) a
// run of the LP input alone at the LP rate, over everything both runs sent
// before either padded.
TEST_F(HierarchicalE2e, EachStreamsStagesAreTheSingleStreamChain) {
    const int64_t packets = 400;
    write_file(path("hp.ts"), make_stream(188 * packets));
    std::string lp = make_stream(188 * packets);
    for (size_t i = 3; i < lp.size(); i += 188) lp[i] = static_cast<char>(lp[i] ^ 0x5A);
    write_file(path("lp.ts"), lp);
    ASSERT_EQ(run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", "64", "-a", "2", "-p", "3/4",
                   "--lp-rate", "2/3", "-o", "h", "-d", "ercvp", "-v", "0"})
                  .exit_code,
              0);
    ASSERT_EQ(run({"-i", "hp.ts", "-p", "3/4", "-o", "one_hp", "-d", "ercvp", "-v", "0"}).exit_code,
              0);
    ASSERT_EQ(run({"-i", "lp.ts", "-p", "2/3", "-o", "one_lp", "-d", "ercvp", "-v", "0"}).exit_code,
              0);
    const struct {
        const char* suffix;
        int64_t length;  // what the input alone decides
    } dumps[] = {{"_ed.bin", 188 * packets},
                 {"_rs.bin", 204 * packets},
                 {"_ci.bin", 204 * packets},
                 {"_ve.bin", 204 * 16 * packets},
                 {"_pu.bin", 204 * 16 * packets / 2}};
    for (const auto& dump : dumps) {
        for (const char* stream : {"hp", "lp"}) {
            const std::string two =
                read_file(path(std::string("h") + (stream[0] == 'l' ? "_lp" : "") + dump.suffix));
            const std::string one = read_file(path(std::string("one_") + stream + dump.suffix));
            ASSERT_GE(static_cast<int64_t>(two.size()), dump.length) << stream << dump.suffix;
            ASSERT_GE(static_cast<int64_t>(one.size()), dump.length) << stream << dump.suffix;
            EXPECT_EQ(two.substr(0, dump.length), one.substr(0, dump.length))
                << stream << dump.suffix;
        }
    }
}

// Settings without a second stream to carry, a missing LP file, an output
// over the LP input: fatal, exit code 1, no footer; an unknown --lp-rate is
// named and 1/2 used.
TEST_F(HierarchicalE2e, RefusesWhatCannotCarryTwoStreams) {
    write_file(path("hp.ts"), make_stream(188 * 20));
    write_file(path("lp.ts"), make_stream(188 * 20));
    const std::string refusal = "FATAL ERROR: --lp-input needs -M 16 or -M 64 and -a 1, 2 or 4\n";
    for (const std::vector<std::string>& settings :
         {std::vector<std::string>{"-M", "4", "-a", "2"}, {"-M", "16"}, {"-M", "64", "-a", "NH"}}) {
        std::vector<std::string> arguments = {"-i", "hp.ts", "--lp-input", "lp.ts", "-d", "t"};
        arguments.insert(arguments.end(), settings.begin(), settings.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.console.find(refusal), std::string::npos) << result.console;
    }
    EXPECT_FALSE(fs::exists(path("dac_output.bin")));
    RunResult result =
        run({"-i", "hp.ts", "--lp-input", "none.ts", "-M", "16", "-a", "1", "-d", "t"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.console.find("FATAL ERROR: Can't find \"none.ts\""), std::string::npos);
    write_file(path("lp_ed.bin"), make_stream(188));
    result = run(
        {"-i", "hp.ts", "--lp-input", "lp_ed.bin", "-M", "16", "-a", "1", "-o", "lp", "-d", "e"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.console.find("FATAL ERROR: output file \"lp_ed.bin\" is the LP input file"),
              std::string::npos)
        << result.console;
    EXPECT_EQ(read_file(path("lp_ed.bin")), make_stream(188));
    result = run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", "16", "-a", "1", "--lp-rate", "4/5",
                  "-v", "2"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_NE(result.console.find("Invalid LP code rate 4/5: using 1/2.\n"), std::string::npos);
    EXPECT_NE(result.console.find("\tLP puncturing rate  : 1/2\n"), std::string::npos);
}

// The run ends with the HP stream: a short LP stream is padded and the log
// says from which cycle; a long one is cut and the log says how much was sent.
TEST_F(HierarchicalE2e, RunEndsWithTheHighPriorityStream) {
    // 16QAM, 1/2 and 1/2 in 2k: 63 packets of each stream per 68-symbol cycle.
    write_file(path("hp.ts"), make_stream(188 * 150));
    write_file(path("lp.ts"), make_stream(188 * 70));
    RunResult result = run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", "16", "-a", "2", "-o", "h",
                            "-d", "et", "-v", "2"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(count_of(result.console, "*** Cycle #"), 3);
    EXPECT_NE(result.console.find("LP stream ended in cycle #2: padding it with empty packets\n"),
              std::string::npos)
        << result.console;
    EXPECT_NE(result.console.find("LP stream: all 13160 bytes sent, then empty packets until the "
                                  "HP stream ended\n"),
              std::string::npos);
    EXPECT_EQ(fs::file_size(path("h_lp_ed.bin")), 3u * 63 * 188);
    EXPECT_EQ(fs::file_size(path("h.bin")), 3u * 68 * 2112 * 8);
    // An LP stream of exactly one cycle is padded from the second on.
    write_file(path("lp.ts"), make_stream(188 * 63));
    result = run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", "16", "-a", "2", "-v", "2"});
    EXPECT_EQ(count_of(result.console, "LP stream ended in cycle #2: padding"), 1)
        << result.console;
    write_file(path("lp.ts"), make_stream(188 * 1000));
    result = run({"-i", "hp.ts", "--lp-input", "lp.ts", "-M", "16", "-a", "2", "-v", "2"});
    EXPECT_NE(result.console.find("LP stream: 35532 of 188000 bytes sent; the run ended with the "
                                  "HP stream\n"),
              std::string::npos)
        << result.console;
    EXPECT_EQ(result.exit_code, 0);
}

// Either stream may come from standard input, never both: the LP stream
// piped in gives the bytes of the LP file run.
TEST_F(HierarchicalE2e, EitherStreamMayReadStandardInput) {
    write_file(path("hp.ts"), make_stream(188 * 150));
    write_file(path("lp.ts"), make_stream(188 * 70));
    const std::vector<std::string> settings = {"-M", "64", "-a", "2", "--lp-rate", "3/4", "-d", "t",
                                               "-v", "2"};
    std::vector<std::string> from_file = {"-i", "hp.ts", "--lp-input", "lp.ts", "-o", "file"};
    from_file.insert(from_file.end(), settings.begin(), settings.end());
    ASSERT_EQ(run(from_file).exit_code, 0);

    std::string command = "cd " + shell_quote(directory_.string()) + " && cat lp.ts | " +
                          shell_quote(TERRAMOD_BINARY) + " -i hp.ts --lp-input - -o piped";
    for (const std::string& setting : settings) command += " " + setting;
    command += " -l piped.log >piped.txt 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(path("piped.txt"));
    EXPECT_EQ(read_file(path("piped.bin")), read_file(path("file.bin")));
    EXPECT_NE(read_file(path("piped.txt")).find("LP stream ended in cycle #"), std::string::npos);

    const RunResult both = run({"-i", "-", "--lp-input", "-", "-M", "16", "-a", "1", "-v", "0"});
    EXPECT_EQ(both.exit_code, 1);
    EXPECT_NE(both.console.find("FATAL ERROR: -i and --lp-input cannot both read standard input"),
              std::string::npos);
}

// --bandwidth changes the rates and the SigMF sample rate, not a sample:
// 2 MHz against -b 8 byte for byte; bad values keep -b and say so.
TEST_F(HierarchicalE2e, BandwidthChangesRatesNotSamples) {
    write_file(path("in.ts"), make_stream(188 * 100));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "eight", "-d", "tf", "-b", "8", "-v", "0"}).exit_code, 0);
    const RunResult result = run({"-i", "in.ts", "-o", "two", "-d", "tf", "--bandwidth", "2e6"});
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(path("two.bin")), read_file(path("eight.bin")));
    EXPECT_EQ(read_file(path("two_fd.bin")), read_file(path("eight_fd.bin")));
    EXPECT_NE(result.console.find("\tOutput sampling rate: 2.285714 Msps\n"), std::string::npos);
    const std::string sigmf = read_file(path("two.sigmf-meta"));
    EXPECT_NE(sigmf.find("\"core:sample_rate\": 2285714.285714"), std::string::npos) << sigmf;
    EXPECT_NE(sigmf.find("\"dvbt:bandwidth_hz\": 2000000,"), std::string::npos) << sigmf;
    EXPECT_NE(sigmf.find("2 MHz channel"), std::string::npos) << sigmf;
    for (const char* bad : {"0", "-5e6", "10.5e6", "2MHz", "nan", "inf"}) {
        const RunResult rejected = run({"-i", "in.ts", "--bandwidth", bad, "-b", "7", "-v", "2"});
        EXPECT_NE(rejected.console.find("Invalid bandwidth " + std::string(bad) + ": using -b.\n"),
                  std::string::npos)
            << bad;
        EXPECT_NE(rejected.console.find("\tChannel spacing     : 7 MHz\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace terramod::e2e
