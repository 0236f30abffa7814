// Whole runs: the cycle count, padding and progress lines, and the length of
// every dump and output file, for inputs around the block size; the fatal
// input errors; the output formats; the bundled sample.
#include <regex>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

// Every dump file with its bytes per cycle, with the defaults.
struct DumpFile {
    const char* name;
    int64_t bytes_per_cycle;
};
const DumpFile kAllFiles[] = {
    {"out_ed.bin", kTsBytes},   {"out_rs.bin", kRsBytes},       {"out_ci.bin", kRsBytes},
    {"out_ve.bin", kCodedBits}, {"out_pu.bin", kPuncturedBits}, {"out_bi.bin", kCells},
    {"out_si.bin", kCells},     {"out_ma.bin", kCells * 8},     {"out_fd.bin", kFrameCells * 8},
    {"out.bin", kSamples * 8},
};

struct LengthCase {
    const char* label;
    int64_t input_length;
    int cycles;
    const char* padding;  // the padding text of the last cycle, or ""
    std::vector<std::string> progress_lines;
};

class InputLengthE2e : public E2eTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(InputLengthE2e, CyclesPaddingProgressAndFileLengths) {
    const LengthCase& c = GetParam();
    write_file(path("in.ts"), make_stream(c.input_length));
    const RunResult result = run({"-i", "in.ts", "-o", "out", "-d", "ercvpbsmft"});
    ASSERT_EQ(result.exit_code, 0) << result.console;

    EXPECT_EQ(count_of(result.console, "*** Cycle #"), c.cycles);
    if (c.cycles > 0) {
        EXPECT_NE(result.console.find("*** Cycle #" + std::to_string(c.cycles) + " ***\n"),
                  std::string::npos);
    }
    EXPECT_EQ(count_of(result.console, "MPEG-2 bunch too short!"), *c.padding ? 1 : 0);
    if (*c.padding) {
        EXPECT_NE(result.console.find(c.padding), std::string::npos);
    }

    std::vector<std::string> progress;
    const std::regex progress_line("[0-9.]+% done \\(S[0-9]{2},F[0-9],SF[0-9]{6}\\)\n");
    for (std::sregex_iterator it(result.console.begin(), result.console.end(), progress_line), end;
         it != end; ++it)
        progress.push_back(it->str());
    EXPECT_EQ(progress, c.progress_lines);

    for (const DumpFile& file : kAllFiles)
        EXPECT_EQ(fs::file_size(path(file.name)), c.cycles * file.bytes_per_cycle) << file.name;
    // The run ends normally: speed line, comparison line, footer.
    const std::string log = read_file(path("test.log"));
    EXPECT_NE(log.find("Elapsed time = "), std::string::npos);
    EXPECT_TRUE(ends_with(log, kFooter));
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, InputLengthE2e,
    ::testing::Values(
        LengthCase{"Empty", 0, 0, "", {}},
        LengthCase{"OnePacket",
                   188,
                   1,
                   "Reading MPEG2-TS file ... 188 bytes read.\n"
                   "MPEG-2 bunch too short! Padding with 11656 bytes ... done.\n",
                   {"6300.0% done (S67,F0,SF000000)\n"}},
        LengthCase{"OneBlock", kTsBytes, 1, "", {"100.0% done (S67,F0,SF000000)\n"}},
        LengthCase{"ThreeBlocks",
                   3 * kTsBytes,
                   3,
                   "",
                   {"33.3% done (S67,F0,SF000000)\n", "66.7% done (S67,F1,SF000000)\n",
                    "100.0% done (S67,F2,SF000000)\n"}},
        LengthCase{"PartialPacket",
                   kTsBytes + 200,
                   2,
                   "Reading MPEG2-TS file ... 200 bytes read.\n"
                   "MPEG-2 bunch too short! Padding with 11644 bytes ... done.\n",
                   {"98.3% done (S67,F0,SF000000)\n", "196.7% done (S67,F1,SF000000)\n"}}),
    [](const ::testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.label); });

using RunE2e = E2eTest;

TEST_F(RunE2e, EmptyInputStillReportsSpeedAndComparison) {
    write_file(path("in.ts"), "");
    const RunResult result = run({"-i", "in.ts", "-o", "out", "-d", "et"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(ends_with(result.console,
                          " s. Approx. 0.000 kbps.\nThis is inf times slower than real-time :=(\n"))
        << result.console;
    EXPECT_EQ(fs::file_size(path("out_ed.bin")), 0u);
    EXPECT_EQ(fs::file_size(path("out.bin")), 0u);
}

// The padded block is exactly the input followed by empty packets: a run over
// a short input and a run over that input padded by hand write the same
// streams, the partial packet completed with zeros and no sync byte.
TEST_F(RunE2e, PaddingCompletesThePacketAndAddsEmptyPackets) {
    const std::string input = make_stream(188 + 57);
    std::string padded = input + std::string(376 - input.size(), '\0');
    while (static_cast<int64_t>(padded.size()) < kTsBytes)
        padded += std::string(1, 0x47) + std::string(187, '\0');
    write_file(path("short.ts"), input);
    write_file(path("padded.ts"), padded);
    const RunResult short_run = run({"-i", "short.ts", "-o", "short", "-d", "et", "-c", "0"});
    const RunResult padded_run = run({"-i", "padded.ts", "-o", "padded", "-d", "et", "-c", "0"});
    ASSERT_EQ(short_run.exit_code, 0);
    ASSERT_EQ(padded_run.exit_code, 0);
    EXPECT_NE(short_run.console.find("Padding with 11599 bytes"), std::string::npos);
    EXPECT_EQ(read_file(path("short_ed.bin")), read_file(path("padded_ed.bin")));
    EXPECT_EQ(read_file(path("short.bin")), read_file(path("padded.bin")));
}

TEST_F(RunE2e, FatalInputErrorsEndWithCodeOneAndNoFooter) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"-o", "out", "-d", "et"},
         "FATAL ERROR: no MPEG-2 file name given.\nTry -h for command line parameters help.\n"},
        {{"-i", "missing.ts", "-o", "out", "-d", "et"}, "FATAL ERROR: Can't find \"missing.ts\"\n"},
    };
    for (const Case& c : cases) {
        const RunResult result = run(c.arguments);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(ends_with(result.console, c.message)) << result.console;
        const std::string body = log_body(read_file(path("test.log")));
        EXPECT_EQ(body, result.console);  // report, summary and error; no footer
        EXPECT_NE(body.find("DVB-T Exciter parameters:"), std::string::npos);
        EXPECT_NE(body.find("Simulation buffers  : 63 ppc, 68 bpc"), std::string::npos);
        EXPECT_EQ(files(), std::vector<std::string>{"test.log"});
    }
}

TEST_F(RunE2e, OutputFormatsAndTheirFiles) {
    write_file(path("in.ts"), make_stream(2 * kTsBytes));
    const RunResult agilent = run({"-i", "in.ts", "-o", "agi", "-d", "t", "-F", "agi"});
    EXPECT_EQ(agilent.exit_code, 0);
    EXPECT_NE(agilent.console.find("DAC stream dumping selected - Agilent format\n"),
              std::string::npos);
    EXPECT_EQ(count_of(agilent.console, "Dumping 143616 samples to DAC files ... done.\n"), 2);
    EXPECT_EQ(fs::file_size(path("agi_I.bin")), 2 * 2 * kSamples);
    EXPECT_EQ(fs::file_size(path("agi_Q.bin")), 2 * 2 * kSamples);

    const RunResult twice = run({"-i", "in.ts", "-o", "x2", "-d", "t", "-F", "2x"});
    EXPECT_NE(twice.console.find("DAC stream dumping selected - Interpolated by two format\n"),
              std::string::npos);
    EXPECT_EQ(count_of(twice.console, "Dumping 287232 samples to TimeDom file ... done.\n"), 2);
    EXPECT_EQ(fs::file_size(path("x2.bin")), 2 * 16 * kSamples);

    const RunResult four = run({"-i", "in.ts", "-o", "x4", "-d", "t", "-F", "4x"});
    EXPECT_NE(four.console.find("DAC stream dumping selected - Interpolated by four format\n"),
              std::string::npos);
    EXPECT_EQ(fs::file_size(path("x4.bin")), 2 * 32 * kSamples);

    const RunResult hp = run({"-i", "in.ts", "-o", "hp", "-d", "t", "-F", "hp"});
    EXPECT_EQ(hp.exit_code, 0);
    EXPECT_NE(hp.console.find("DAC stream dumping selected - HP format ** NOT SUPPORTED ***\n"),
              std::string::npos);
    EXPECT_EQ(hp.console.find("Dumping"), std::string::npos);

    // Without the letter t the conversion runs but nothing is written.
    const RunResult silent = run({"-i", "in.ts", "-o", "none", "-F", "agi", "-l", "none.log"});
    EXPECT_EQ(silent.exit_code, 0);
    EXPECT_EQ(silent.console.find("DAC stream dumping selected"), std::string::npos);

    // The interpolated outputs have their SigMF metadata beside them.
    EXPECT_EQ(files(), (std::vector<std::string>{"agi_I.bin", "agi_Q.bin", "in.ts", "none.log",
                                                 "test.log", "x2.bin", "x2.sigmf-meta", "x4.bin",
                                                 "x4.sigmf-meta"}));
}

TEST_F(RunE2e, DefaultBaseNameWithAndWithoutTheWarning) {
    write_file(path("in.ts"), make_stream(188));
    const RunResult dumps_only = run({"-i", "in.ts", "-d", "e"});
    EXPECT_EQ(dumps_only.console.find("WARNING"), std::string::npos);
    EXPECT_EQ(fs::file_size(path("dac_output_ed.bin")), kTsBytes);

    const RunResult output = run({"-i", "in.ts", "-d", "t"});
    EXPECT_NE(output.console.find("WARNING: no DAC stream file name given -> using dac_output.bin\n"
                                  "DAC stream dumping selected - Standard format\n"),
              std::string::npos);
    EXPECT_EQ(fs::file_size(path("dac_output.bin")), kSamples * 8);
}

// A console reader that quits early (terramod ... | head) neither kills the run
// nor cuts its files short: console write errors are ignored. The console text
// of 120 cycles is far more than a pipe holds, so the writes do hit the closed
// pipe.
TEST_F(RunE2e, ConsoleClosedByItsReaderDoesNotStopTheRun) {
    constexpr int kCycles = 120;
    write_file(path("in.ts"), make_stream(kCycles * kTsBytes));
    const std::string command = "cd " + shell_quote(directory_.string()) + " && { " +
                                shell_quote(TERRAMOD_BINARY) +
                                " -i in.ts -o out -d e; echo $? >rc; } | head -c 1 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file(path("rc")), "0\n");
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path("out_ed.bin"))), kCycles * kTsBytes);
    const std::string log = read_file(path("test.log"));
    EXPECT_NE(log.find("*** Cycle #120 ***\n"), std::string::npos);
    EXPECT_TRUE(ends_with(log, kFooter));
}

// What `make run` does: the bundled sample with the defaults and -d t.
TEST_F(RunE2e, BundledSampleGivesWholeCyclesOfOutput) {
    const fs::path sample = fs::path(TERRAMOD_SOURCE_DIR) / "samples" / "testcard.ts";
    const int64_t length = static_cast<int64_t>(fs::file_size(sample));
    ASSERT_EQ(length % 188, 0);
    const int64_t cycles = (length + kTsBytes - 1) / kTsBytes;
    const RunResult result =
        run({"-i", sample.string(), "-o", "testcard", "-l", "testcard.log", "-d", "t"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(count_of(result.console, "WARNING"), 0) << "the sample is in sync";
    EXPECT_EQ(count_of(result.console, "*** Cycle #"), cycles);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(path("testcard.bin"))), cycles * kSamples * 8);
    EXPECT_TRUE(ends_with(read_file(path("testcard.log")), kFooter));
}

}  // namespace
}  // namespace terramod::e2e
