// The console and the log of requests that stop before any input is read:
// help, version, unknown arguments and invalid values; and what each
// verbosity level lets through.
#include <regex>

#include "tests/e2e/e2e_support.h"
#include "tests/expected_texts.h"
#include "tx/config.h"

namespace terramod::e2e {
namespace {

const std::string kHelpText = kExpectedHelp;

std::string version_text() {
    return std::string("\nDVB-T compliant software transmitter\n") + kBanner +
           "Standard ETSI EN 300 744 V1.1.2 (1997-08)\n";
}

using HelpAndVersionE2e = E2eTest;

TEST_F(HelpAndVersionE2e, HelpPrintsBannerAndHelpOnConsoleAndLogWithoutFooter) {
    const RunResult result = run({"-h"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console, version_text() + kHelpText);
    EXPECT_EQ(result.errors, "");
    const std::string log = read_file(path("test.log"));
    const std::regex header(
        "Log file for terramod ==> test\\.log , [A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n\n");
    EXPECT_TRUE(std::regex_search(log, header, std::regex_constants::match_continuous)) << log;
    EXPECT_EQ(log_body(log), version_text() + kHelpText);  // and no footer
    EXPECT_EQ(files(), std::vector<std::string>{"test.log"});
}

TEST_F(HelpAndVersionE2e, VersionPrintsBannerOnlyIntoTheNamedLog) {
    write_file(path("in.ts"), make_stream(188));
    const RunResult result = run({"-V", "-i", "in.ts", "-o", "out", "-d", "t", "-l", "v.log"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console, version_text());
    EXPECT_EQ(log_body(read_file(path("v.log"))), version_text());
    // Nothing is opened or written besides the log.
    EXPECT_EQ(files(), (std::vector<std::string>{"in.ts", "v.log"}));
}

TEST_F(HelpAndVersionE2e, ArgumentsAfterHelpAreStillParsedFirst) {
    const RunResult result = run({"-h", "-x"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console, "Unknown argument -x.\n" + version_text() + kHelpText);
    // Parsing messages go to the console only.
    EXPECT_EQ(log_body(read_file(path("test.log"))), version_text() + kHelpText);
}

TEST_F(HelpAndVersionE2e, InvalidValuesAndUnknownArgumentsGiveTheirMessages) {
    const RunResult result =
        run({"-M", "32",   "-a", "3",  "-D", "1/3", "-p",   "1/5", "-b", "9", "-c", "xyz",
             "-f", "bbif", "-F", "HP", "-v", "9",   "-M16", "-M",  "4",  "5", "-V"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console,
              "Invalid constellation order: defaulting to 4QAM.\n"
              "Invalid hierarchy order: defaulting to NH.\n"
              "Invalid prefix duration: defaulting to 1/32.\n"
              "Invalid puncturing rate: defaulting to 1/2.\n"
              "Invalid channel spacing: defaulting to 8 MHz.\n"
              "Invalid interleaver initialization: defaulting to rand"
              "Invalid frequency mapping: keeping zero IF.\n"
              "Invalid verbosity level: defaulting to 4.\n"
              "Unknown argument -M16.\n"
              "Unknown argument 5.\n" +
                  version_text());
}

TEST_F(HelpAndVersionE2e, VerbosityAsLastArgument) {
    const RunResult result = run({"-V", "-v"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(
        result.console,
        "No verbosity level given.\nInvalid verbosity level: defaulting to 4.\n" + version_text());
}

TEST_F(HelpAndVersionE2e, LogThatCannotBeCreatedFallsBackToTheConsole) {
    const RunResult result = run({"-V", "-l", "no/such/folder/x.log"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console,
              "WARNING: Can't create log file \"no/such/folder/x.log\" -> logging to console "
              "only\n" +
                  version_text());
}

using CommandLineE2e = E2eTest;

// An unknown long option or a long option without its value stops the run
// before anything is opened: exit 1, the fatal message on the console the
// parser uses, no log, no output.
TEST_F(CommandLineE2e, UnknownLongOptionOrMissingValueStopsBeforeAnythingIsOpened) {
    write_file(path("in.ts"), make_stream(188));
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--gian", "60", "-M", "65"},
         "FATAL ERROR: unknown option --gian (did you mean --gain?)\n"},
        {{"--frobnicate"}, "FATAL ERROR: unknown option --frobnicate\n"},
        {{"-V", "--lp-input"}, "FATAL ERROR: --lp-input needs a value: --lp-input FILE\n"},
        {{"--bandwidth"}, "FATAL ERROR: --bandwidth needs a value: --bandwidth HZ\n"},
    };
    for (const Case& test : cases) {
        for (const char* output : {"out", "-"}) {
            std::vector<std::string> arguments = {"-i", "in.ts", "-d", "t", "-o", output};
            arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
            const RunResult result = run(arguments);
            EXPECT_EQ(result.exit_code, 1);
            // With the samples on standard output the console is standard error.
            const std::string& console =
                output == std::string("-") ? result.errors : result.console;
            EXPECT_TRUE(ends_with(console, test.message)) << console;
            EXPECT_EQ(output == std::string("-") ? result.console : result.errors, "");
            EXPECT_EQ(files(), std::vector<std::string>{"in.ts"});
        }
    }
}

// Without --device the original handling stays: a misspelt single-letter
// option or value is named, the default used, and the run completes.
TEST_F(CommandLineE2e, FileRunWithFallenBackSettingsCompletes) {
    write_file(path("in.ts"), make_stream(188));
    const RunResult result =
        run({"-i", "in.ts", "-o", "out", "-d", "t", "-v", "0", "-M", "65", "-f", "474e6", "-x"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console,
              "Invalid constellation order: defaulting to 4QAM.\n"
              "Invalid frequency mapping: keeping zero IF.\n"
              "Unknown argument -x.\n");
    EXPECT_EQ(fs::file_size(path("out.bin")), kSamples * 8);

    // A refused bandwidth keeps -b and says which values are taken.
    const RunResult tiny = run({"-i", "in.ts", "-o", "tiny", "-d", "t", "-v", "2", "--bandwidth",
                                "1e-300", "--threads", " 2"});
    EXPECT_EQ(tiny.exit_code, 0);
    EXPECT_NE(tiny.console.find("Invalid bandwidth 1e-300: using -b.\n"
                                "  --bandwidth takes 100000 to 10000000 Hz.\n"
                                "Invalid threads  2: ignored.\n"
                                "  --threads takes a whole number from 1 to 256.\n"),
              std::string::npos)
        << tiny.console;
    EXPECT_NE(read_file(path("tiny.sigmf-meta")).find("\"core:sample_rate\": 9142857.14"),
              std::string::npos);
}

// Runs with SoapySDR finding the test device module only (it records what
// it is sent).
class CommandLineDeviceE2e : public TestDeviceE2e {
  protected:
    std::vector<std::string> device_run(const std::vector<std::string>& settings) const {
        std::vector<std::string> arguments = {
            "-i", "in.ts", "-v", "0", "--device", test_device(",pace=0"), "--frequency", "474e6"};
        arguments.insert(arguments.end(), settings.begin(), settings.end());
        return arguments;
    }
};

// A device run with an unknown argument or a value that fell back sends
// nothing and names every one; --lenient sends what the file run of the same
// arguments writes.
TEST_F(CommandLineDeviceE2e, FallenBackSettingsSendNothingUnlessLenient) {
    write_file(path("in.ts"), make_stream(20 * 188));
    const std::vector<std::string> settings = {"-M", "65", "-f", "474e6", "-x", "--gain", "x9"};
    const RunResult refused = run(device_run(settings));
    EXPECT_EQ(refused.exit_code, 1);
    const std::string expected =
        "FATAL ERROR: --device transmits only settings taken as given (--lenient transmits "
        "anyway):\n"
        "  -M 65: one of 4, 16, 64 expected; 4QAM used\n"
        "  -f 474e6: one of 0, BBIF expected; zero IF kept (the centre frequency is --frequency "
        "474e6)\n"
        "  unknown argument -x\n"
        "  --gain x9: -200 to 200 dB expected; ignored\n";
    EXPECT_TRUE(ends_with(refused.console, expected)) << refused.console;
    EXPECT_TRUE(!fs::exists(path("rec.bin")) || fs::file_size(path("rec.bin")) == 0);
    EXPECT_EQ(log_body(read_file(path("test.log"))), expected);  // no footer

    std::vector<std::string> lenient = device_run(settings);
    lenient.push_back("--lenient");
    const RunResult sent = run(lenient);
    EXPECT_EQ(sent.exit_code, 0) << sent.console;
    EXPECT_NE(sent.console.find("WARNING: --lenient: transmitting although settings were not "
                                "taken as given:\n  -M 65: "),
              std::string::npos);
    std::vector<std::string> file_run = {"-i", "in.ts", "-o", "file", "-d", "t", "-v", "0"};
    file_run.insert(file_run.end(), settings.begin(), settings.end());
    ASSERT_EQ(run(file_run).exit_code, 0);
    EXPECT_EQ(read_file(path("rec.bin")), read_file(path("file.bin")));

    // Settings taken as given need no --lenient.
    fs::remove(path("rec.bin"));
    EXPECT_EQ(run(device_run({"-M", "16", "-f", "BBIF"})).exit_code, 0);
    EXPECT_GT(fs::file_size(path("rec.bin")), 0u);
}

// A normal run of one 188-byte packet with -d t, at each verbosity: the
// console and the log body hold exactly the messages of the levels allowed.
class VerbosityE2e : public E2eTest {
  protected:
    RunResult run_at(int verbosity) {
        write_file(path("in.ts"), make_stream(188));
        return run({"-i", "in.ts", "-o", "out", "-d", "t", "-v", std::to_string(verbosity)});
    }
};

const std::regex kSpeedLine(
    "Elapsed time = [0-9]+\\.[0-9]{3} s\\. Approx\\. [0-9]+\\.[0-9]{3} kbps\\.\n");
const std::regex kComparisonLine(
    "This is [0-9]+\\.[0-9] times (faster than real-time ;=\\)|slower than real-time :=\\()\n");

TEST_F(VerbosityE2e, LevelZeroPrintsNothingAndTheLogHasOnlyHeaderAndFooter) {
    const RunResult result = run_at(0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console, "");
    EXPECT_EQ(log_body(read_file(path("test.log"))), kFooter);
    EXPECT_EQ(fs::file_size(path("out.bin")), kSamples * 8);
}

TEST_F(VerbosityE2e, LevelOnePrintsOnlyTheSpeedLine) {
    const RunResult result = run_at(1);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(std::regex_match(result.console, kSpeedLine)) << result.console;
    EXPECT_EQ(log_body(read_file(path("test.log"))), result.console + kFooter);
}

TEST_F(VerbosityE2e, LevelTwoAddsReportCyclesProgressAndSelections) {
    const RunResult result = run_at(2);
    const std::string& text = result.console;
    EXPECT_EQ(text.find(kBanner), 0u);
    EXPECT_NE(text.find("\tUseful throughput   : 6.032086 Mbps\n"), std::string::npos);
    EXPECT_NE(text.find("DAC stream dumping selected - Standard format\n*** Cycle #1 ***\n"
                        "6300.0% done (S67,F0,SF000000)\nElapsed time = "),
              std::string::npos)
        << text;
    std::smatch tail;
    const std::regex ending("Elapsed time = .*\n(.*\n)$");
    ASSERT_TRUE(std::regex_search(text, tail, ending));
    EXPECT_TRUE(std::regex_match(tail[1].str(), kComparisonLine)) << tail[1];
    EXPECT_EQ(text.find("Reading MPEG2-TS file"), std::string::npos);
    EXPECT_EQ(text.find("Simulation buffers"), std::string::npos);
    EXPECT_EQ(log_body(read_file(path("test.log"))), text + kFooter);
}

TEST_F(VerbosityE2e, LevelThreeAddsStageTextsAndLevelFourTheSummary) {
    const RunResult three = run_at(3);
    EXPECT_NE(three.console.find("Checking MPEG-2 TS file length ... 188 bytes\n"),
              std::string::npos);
    EXPECT_NE(three.console.find("Reading MPEG2-TS file ... 188 bytes read.\n"
                                 "MPEG-2 bunch too short! Padding with 11656 bytes ... done.\n"),
              std::string::npos);
    EXPECT_NE(three.console.find("Dumping 143616 samples to TimeDom file ... done.\n"),
              std::string::npos);
    EXPECT_EQ(three.console.find("Simulation buffers"), std::string::npos);

    const RunResult four = run_at(4);
    EXPECT_NE(four.console.find("----------------------------------------------------------\n"
                                "        Simulation buffers  : 63 ppc, 68 bpc\n"
                                "        Total RAM           : 3.389 MB\n"
                                "----------------------------------------------------------\n"
                                "Checking MPEG-2 TS file length ... "),
              std::string::npos)
        << four.console;
    // Level 4 adds the summary and nothing else.
    std::string without_summary = four.console;
    const size_t at = without_summary.find("        Simulation buffers");
    without_summary.erase(at, without_summary.find("Checking") - at);
    const std::regex speed_figures("Elapsed time = [^\n]*\n[^\n]*\n");
    EXPECT_EQ(std::regex_replace(without_summary, speed_figures, ""),
              std::regex_replace(three.console, speed_figures, ""));
}

}  // namespace
}  // namespace terramod::e2e
