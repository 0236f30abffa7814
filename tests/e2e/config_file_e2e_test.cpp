// Runs configured by a --config file: the same files, bytes and log as the
// same settings on the command line; the command line over the file
// wherever --config stands; a file with an error stops the run before
// anything is written.
#include <map>
#include <sstream>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

#ifdef TERRAMOD_HAVE_TOML

// The input: the start of the test card, 300 packets.
std::string short_testcard() {
    return read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts").substr(0, 188 * 300);
}

// A console or log text with the names of one run's files given those of
// the other, without the lines that differ between runs of the same work.
std::string comparable(const std::string& text, const std::string& base, const std::string& as) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Elapsed time = ", 0) == 0 ||
            line.find(" than real-time") != std::string::npos)
            continue;
        for (size_t at = base.empty() ? std::string::npos : line.find(base);
             at != std::string::npos; at = line.find(base, at + as.size()))
            line.replace(at, base.size(), as);
        kept += line + "\n";
    }
    return kept;
}

struct SameRunCase {
    const char* label;
    std::vector<std::string> options;  // after -i in.ts -o cmdline -l cmdline.log
    std::string keys;                  // after input, output and log
};
void PrintTo(const SameRunCase& c, std::ostream* out) {
    *out << c.label;
}

const SameRunCase kSameRunCases[] = {
    {"Qam64Mode8kRate7_8Guard1_4",
     {"-8k", "-M", "64", "-p", "7/8", "-D", "1/4", "-d", "t"},
     "mode = \"8k\"\nconstellation = 64\ncode-rate = \"7/8\"\nguard = \"1/4\"\ndump = \"t\"\n"},
    {"Interpolated2xCs16Backoff9",
     {"-F", "2x", "--sample-type", "cs16", "--backoff", "9", "-d", "t"},
     "format = \"2x\"\nsample-type = \"cs16\"\nbackoff = 9\ndump = \"t\"\n"},
    {"HierarchicalLpInputLpRate",
     {"-M", "16", "-a", "2", "-p", "2/3", "--lp-input", "lp.ts", "--lp-rate", "3/4", "-d", "tbe"},
     "constellation = 16\nalpha = 2\ncode-rate = \"2/3\"\nlp-input = \"lp.ts\"\n"
     "lp-rate = \"3/4\"\ndump = \"tbe\"\n"},
    {"EveryDumpOneThread",
     {"--threads", "1", "-d", "ercvpbsmft"},
     "threads = 1\ndump = \"ercvpbsmft\"\n"},
    {"Interpolated4xTwoThreadsVerbosity2",
     {"-8k", "-F", "4x", "-f", "BBIF", "--threads", "2", "-v", "2", "-d", "t"},
     "mode = \"8k\"\nformat = \"4x\"\nfrequency-mapping = \"BBIF\"\nthreads = 2\n"
     "verbosity = 2\ndump = \"t\"\n"},
    {"Qam16Guard1_8Spacing7DumpLetters",
     {"-M", "16", "-a", "NH", "-p", "5/6", "-D", "1/8", "-b", "7", "-d", "tm"},
     "constellation = \"16\"\nalpha = \"NH\"\ncode-rate = \"5/6\"\nguard = \"1/8\"\n"
     "channel-spacing = 7\ndump = \"tm\"\nrealtime = false\n"},
};

class SameRunE2e : public E2eTest, public ::testing::WithParamInterface<SameRunCase> {};

// Every file of the command line's run (cmdline*) has its twin of the
// file's run (cfgfile*) with the same bytes; the log and console the same
// but for the names and times.
TEST_P(SameRunE2e, FileGivesTheCommandLinesFiles) {
    const SameRunCase& c = GetParam();
    write_file(path("in.ts"), short_testcard());
    write_file(path("lp.ts"), short_testcard());
    std::vector<std::string> arguments = {"-i", "in.ts", "-o", "cmdline", "-l", "cmdline.log"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const RunResult from_command_line = run(arguments);
    ASSERT_EQ(from_command_line.exit_code, 0) << from_command_line.console;

    write_file(path("site.toml"),
               "input = \"in.ts\"\noutput = \"cfgfile\"\nlog = \"cfgfile.log\"\n" + c.keys);
    const RunResult from_file = run({"--config", "site.toml"});
    ASSERT_EQ(from_file.exit_code, 0) << from_file.console;
    EXPECT_EQ(comparable(from_file.console, "cfgfile", "cmdline"),
              comparable(from_command_line.console, "cfgfile", "cmdline"));
    EXPECT_EQ(from_file.errors, from_command_line.errors);

    std::map<std::string, std::string> twins;  // suffix: of the command line's run
    int samples_and_dumps = 0;
    for (const std::string& name : files()) {
        if (name.rfind("cmdline", 0) == 0) twins[name.substr(7)] = name;
    }
    for (const std::string& name : files()) {
        if (name.rfind("cfgfile", 0) != 0) continue;
        const std::string suffix = name.substr(7);
        ASSERT_EQ(twins.count(suffix), 1u) << name << " has no twin";
        const std::string mine = read_file(path(name));
        const std::string theirs = read_file(path(twins[suffix]));
        twins.erase(suffix);
        if (suffix == ".log") {
            EXPECT_EQ(comparable(log_body(mine), "cfgfile", "cmdline"),
                      comparable(log_body(theirs), "cfgfile", "cmdline"));
        } else if (suffix == ".sigmf-meta") {
            EXPECT_EQ(comparable(mine, "cfgfile", "cmdline"), comparable(theirs, "", ""));
        } else {
            ++samples_and_dumps;
            EXPECT_FALSE(mine.empty()) << name;
            EXPECT_TRUE(mine == theirs) << name << " differs from "
                                        << "cmdline" << suffix;
        }
    }
    EXPECT_TRUE(twins.empty()) << twins.begin()->second << " has no twin";
    EXPECT_GE(samples_and_dumps, 1);
}

INSTANTIATE_TEST_SUITE_P(Settings, SameRunE2e, ::testing::ValuesIn(kSameRunCases),
                         [](const ::testing::TestParamInfo<SameRunCase>& info) {
                             return std::string(info.param.label);
                         });

using ConfigFileE2e = E2eTest;

// -M and -d on the command line win over the file's constellation and dump
// (the file's dump letter is not added), before or after --config.
TEST_F(ConfigFileE2e, TheCommandLineWinsWhereverConfigStands) {
    write_file(path("in.ts"), short_testcard());
    write_file(path("site.toml"),
               "input = \"in.ts\"\noutput = \"fromfile\"\nconstellation = 64\n"
               "code-rate = \"3/4\"\ndump = \"e\"\n");
    ASSERT_EQ(run({"-i", "in.ts", "-o", "reference", "-M", "16", "-p", "3/4", "-d", "t", "-l",
                   "reference.log"})
                  .exit_code,
              0);
    ASSERT_EQ(run({"-M", "16", "-d", "t", "-o", "before", "--config", "site.toml", "-l", "b.log"})
                  .exit_code,
              0);
    ASSERT_EQ(run({"--config", "site.toml", "-o", "after", "-M", "16", "-d", "t", "-l", "a.log"})
                  .exit_code,
              0);
    const std::string reference = read_file(path("reference.bin"));
    ASSERT_FALSE(reference.empty());
    EXPECT_TRUE(read_file(path("before.bin")) == reference);
    EXPECT_TRUE(read_file(path("after.bin")) == reference);
    EXPECT_EQ(files(),
              (std::vector<std::string>{"a.log", "after.bin", "after.sigmf-meta", "b.log",
                                        "before.bin", "before.sigmf-meta", "in.ts", "reference.bin",
                                        "reference.log", "reference.sigmf-meta", "site.toml"}));
}

// output = "-" puts the samples on standard output and every message on
// standard error, as -o - does.
TEST_F(ConfigFileE2e, StandardOutputFromTheFile) {
    write_file(path("in.ts"), short_testcard());
    write_file(path("site.toml"), "input = \"in.ts\"\noutput = \"-\"\nverbosity = 2\n");
    const RunResult from_file = run({"--config", "site.toml", "-l", "f.log"});
    const RunResult from_command_line = run({"-i", "in.ts", "-o", "-", "-v", "2", "-l", "c.log"});
    ASSERT_EQ(from_file.exit_code, 0) << from_file.errors;
    ASSERT_FALSE(from_file.console.empty());
    EXPECT_TRUE(from_file.console == from_command_line.console);
    EXPECT_EQ(comparable(from_file.errors, "f.log", "c.log"),
              comparable(from_command_line.errors, "", ""));
}

struct RefusedCase {
    const char* label;
    std::string keys;  // site.toml
    std::vector<std::string> arguments;
    std::string message;  // the whole console, or its start when `prefix`
    bool prefix;
    bool on_standard_error;
};
void PrintTo(const RefusedCase& c, std::ostream* out) {
    *out << c.label;
}

const std::string kRunnable = "input = \"in.ts\"\noutput = \"out\"\ndump = \"t\"\n";

const RefusedCase kRefusedCases[] = {
    {"UnknownKey",
     kRunnable + "gian = 60\n",
     {"--config", "site.toml"},
     "FATAL ERROR: site.toml:4: unknown key \"gian\" (did you mean gain?)\n",
     false,
     false},
    {"SyntaxError",
     "input = \"in.ts\n",
     {"--config", "site.toml"},
     "FATAL ERROR: site.toml:1:",
     true,
     false},
    {"Unreadable",
     kRunnable,
     {"--config", "missing.toml"},
     "FATAL ERROR: cannot read the configuration file \"missing.toml\": No such file or "
     "directory\n",
     false,
     false},
    {"ConfigWithoutItsFile",
     kRunnable,
     {"-i", "in.ts", "--config"},
     "FATAL ERROR: --config needs a value: --config FILE\n",
     false,
     false},
    {"ErrorsOnStandardErrorWithSamplesOnStandardOutput",
     "input = \"in.ts\"\noutput = \"-\"\nguard = \"1/5\"\n",
     {"--config", "site.toml"},
     "FATAL ERROR: site.toml:3: guard = \"1/5\": one of 1/4, 1/8, 1/16, 1/32 expected\n",
     false,
     true},
    {"CommandLineAndFileErrorsTogether",
     kRunnable + "xyz = 1\n",
     {"--gian", "1", "--config", "site.toml", "-M", "65"},
     "Unknown argument --gian.\nUnknown argument 1.\nInvalid constellation order: defaulting to "
     "4QAM.\n"
     "FATAL ERROR: unknown option --gian (did you mean --gain?)\n"
     "FATAL ERROR: site.toml:4: unknown key \"xyz\"\n",
     false,
     false},
};

class RefusedFileE2e : public E2eTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFileE2e, StopsBeforeAnythingIsWritten) {
    const RefusedCase& c = GetParam();
    write_file(path("in.ts"), short_testcard());
    write_file(path("site.toml"), c.keys);
    const RunResult result = run(c.arguments);
    EXPECT_EQ(result.exit_code, 1);
    const std::string& shown = c.on_standard_error ? result.errors : result.console;
    EXPECT_EQ(c.on_standard_error ? result.console : result.errors, "");
    if (c.prefix)
        EXPECT_EQ(shown.find(c.message), 0u) << shown;
    else
        EXPECT_EQ(shown, c.message);
    // No log, no output.
    EXPECT_EQ(files(), (std::vector<std::string>{"in.ts", "site.toml"}));
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedFileE2e, ::testing::ValuesIn(kRefusedCases),
                         [](const ::testing::TestParamInfo<RefusedCase>& info) {
                             return std::string(info.param.label);
                         });

#else  // TERRAMOD_HAVE_TOML

using ConfigFileE2e = E2eTest;

TEST_F(ConfigFileE2e, ThisBuildHasNone) {
    write_file(path("site.toml"), "gain = 1\n");
    const RunResult result = run({"--config", "site.toml"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.console,
              "FATAL ERROR: --config site.toml: this build has no configuration file support "
              "(built without libtomlplusplus-dev)\n");
    EXPECT_EQ(files(), std::vector<std::string>{"site.toml"});
}

#endif  // TERRAMOD_HAVE_TOML

}  // namespace
}  // namespace terramod::e2e
