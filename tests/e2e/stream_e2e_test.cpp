// terramod in a pipe: the stream from standard input or a FIFO, the samples to
// standard output. The oracle throughout is the run of the same bytes from a
// regular file into a file (-o file_out -d t), whose bytes the file tests pin.
#include <sys/stat.h>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

class StreamE2e : public E2eTest {
  protected:
    // Runs `command` through the shell in the test folder; its exit code.
    int shell(const std::string& command) const {
        const std::string full =
            "cd " + shell_quote(directory_.string()) + " && {\n" + command + "\n}";
        const int status = std::system(full.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // terramod and its arguments, quoted for the shell.
    static std::string terramod(std::vector<std::string> arguments,
                                const std::vector<std::string>& options = {}) {
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::string command = shell_quote(TERRAMOD_BINARY);
        for (const std::string& argument : arguments)
            command.append(" ").append(shell_quote(argument));
        return command;
    }

    // The oracle: the same bytes from a regular file, the signal into a file.
    std::string file_run_samples(const std::string& stream,
                                 const std::vector<std::string>& options = {}) const {
        write_file(path("file_in.ts"), stream);
        EXPECT_EQ(shell(terramod({"-i", "file_in.ts", "-o", "file_out", "-d", "t", "-l", "f.log"},
                                 options) +
                        " >/dev/null 2>&1"),
                  0);
        return read_file(path("file_out.bin"));
    }
};

// ---------------------------------------------------------------------------
// Stream equals file: settings across every parameter, three ways in.

struct Setting {
    const char* label;
    std::vector<std::string> options;
};
void PrintTo(const Setting& setting, std::ostream* out) {
    *out << setting.label;
}

const Setting kSettings[] = {
    {"Default2kQpskZeroIf1x", {}},
    {"Qam16Rate34Guard14BbIf2x", {"-M", "16", "-p", "3/4", "-D", "1/4", "-f", "BBIF", "-F", "2x"}},
    {"Mode8kQam64Rate78Guard18x4", {"-8k", "-M", "64", "-p", "7/8", "-D", "1/8", "-F", "4x"}},
    {"Mode8kQpskRate23Guard116BbIf7MHz",
     {"-8k", "-p", "2/3", "-D", "1/16", "-f", "BBIF", "-b", "7"}},
    {"Qam64Alpha2Rate56Mhz6x4", {"-M", "64", "-a", "2", "-p", "5/6", "-b", "6", "-F", "4x"}},
    {"Qam16ZeroInitGuard116x2", {"-M", "16", "-c", "0", "-D", "1/16", "-F", "2x"}},
};

// How in.ts reaches terramod, whose command replaces TX; "IN" is its -i value.
struct Delivery {
    const char* label;
    const char* input;
    const char* command;
};
const Delivery kDeliveries[] = {
    {"CatPipe", "-", "cat in.ts | TX"},
    // A live source: 1000-byte pieces with a pause after each.
    {"PiecesWithPauses", "-",
     "i=0; while [ $i -lt 60 ]; do dd if=in.ts bs=1000 skip=$i count=1 2>/dev/null; "
     "sleep 0.002; i=$((i + 1)); done | TX"},
    // terramod opens the FIFO first and waits for its writer.
    {"Fifo", "in.fifo", "mkfifo in.fifo && { TX & sleep 0.2; cat in.ts >in.fifo; wait $!; }"},
};
void PrintTo(const Delivery& delivery, std::ostream* out) {
    *out << delivery.label;
}

class StreamEqualsFileE2e : public StreamE2e,
                            public ::testing::WithParamInterface<std::tuple<Setting, Delivery>> {};

TEST_P(StreamEqualsFileE2e, SamplesOnStandardOutputAreTheFileRunsBytes) {
    const auto& [setting, delivery] = GetParam();
    // Several 2k cycles, ending 100 bytes into a packet.
    const std::string stream = make_stream(300 * 188 + 100);
    const std::string expected = file_run_samples(stream, setting.options);
    ASSERT_FALSE(expected.empty());
    write_file(path("in.ts"), stream);

    std::string command = delivery.command;
    command.replace(command.find("TX"), 2,
                    terramod({"-i", delivery.input, "-o", "-", "-l", "s.log"}, setting.options) +
                        " >s.bin 2>s.err");
    EXPECT_EQ(shell(command), 0) << read_file(path("s.err"));
    EXPECT_TRUE(read_file(path("s.bin")) == expected) << "the samples differ from the file run's";
    const std::string errors = read_file(path("s.err"));
    EXPECT_EQ(
        count_of(errors, "WARNING: input ended inside a packet: its 100 bytes padded to 188\n"), 1);
    EXPECT_EQ(count_of(errors, "skipped"), 0) << errors;
    EXPECT_TRUE(ends_with(read_file(path("s.log")), kFooter));
}

INSTANTIATE_TEST_SUITE_P(SettingsAndDeliveries, StreamEqualsFileE2e,
                         ::testing::Combine(::testing::ValuesIn(kSettings),
                                            ::testing::ValuesIn(kDeliveries)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    std::get<1>(info.param).label;
                         });

// ---------------------------------------------------------------------------
// A stream that starts or ends inside a packet: aligned, padded, reported.

struct MidPacketCase {
    const char* label;
    std::string prefix;  // bytes before the first packet
    int64_t packets;     // whole packets after them
    int64_t tail;        // bytes of a last, partial packet
};
void PrintTo(const MidPacketCase& c, std::ostream* out) {
    *out << c.label;
}

std::string filler(size_t length) {
    return std::string(length, '\x5A');
}

// Four sync bytes at packet pitch, then a gap: not yet the first packet.
std::string four_in_a_row_prefix() {
    std::string prefix = make_stream(4 * 188);
    prefix[3 * 188] = 0x11;
    return prefix + filler(10);
}

class MidPacketE2e : public StreamE2e, public ::testing::WithParamInterface<MidPacketCase> {};

TEST_P(MidPacketE2e, AlignedToTheFirstPacketPaddedAndReported) {
    const MidPacketCase& c = GetParam();
    const std::string packets = make_stream(c.packets * 188 + c.tail);
    const std::string expected = file_run_samples(packets);
    write_file(path("in.ts"), c.prefix + packets);
    EXPECT_EQ(shell("cat in.ts | " + terramod({"-i", "-", "-o", "-"}) + " >out.bin 2>err.txt"), 0);
    EXPECT_TRUE(read_file(path("out.bin")) == expected) << "the samples differ from the file run's";

    const std::string errors = read_file(path("err.txt"));
    const std::string skipped = "WARNING: " + std::to_string(c.prefix.size()) +
                                " bytes skipped before the first packet of standard input\n";
    EXPECT_EQ(count_of(errors, "skipped"), c.prefix.empty() ? 0 : 1) << errors;
    EXPECT_EQ(count_of(errors, skipped), c.prefix.empty() ? 0 : 1);
    const std::string padded = "WARNING: input ended inside a packet: its " +
                               std::to_string(c.tail) + " bytes padded to 188\n";
    EXPECT_EQ(count_of(errors, "inside a packet"), c.tail == 0 ? 0 : 1);
    EXPECT_EQ(count_of(errors, padded), c.tail == 0 ? 0 : 1);
    // Level 1: in the log as well.
    EXPECT_EQ(count_of(read_file(path("test.log")), "WARNING"), count_of(errors, "WARNING"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MidPacketE2e,
    ::testing::Values(MidPacketCase{"Aligned", "", 130, 0},
                      MidPacketCase{"OneSyncByte", "\x47", 130, 0},
                      MidPacketCase{"TailOfAPacket", make_stream(188).substr(50), 130, 57},
                      MidPacketCase{"DecoySyncBytes", "\x47" + filler(187) + "\x47" + filler(5),
                                    130, 1},
                      MidPacketCase{"FourInARowAreNotEnough", four_in_a_row_prefix(), 130, 0},
                      MidPacketCase{"LongFiller", filler(200000), 70, 0},
                      MidPacketCase{"ShorterThanFivePackets", filler(3), 3, 20},
                      MidPacketCase{"NoPacketAtAll", filler(5000), 0, 0},
                      MidPacketCase{"EndsOneByteShort", "", 130, 187},
                      MidPacketCase{"EndsAfterTheSyncByte", "", 130, 1}),
    [](const auto& info) { return std::string(info.param.label); });

// The stream's progress line: megabytes in, seconds of signal out.
TEST_F(StreamE2e, ProgressLineGivesInputTakenAndSignalProduced) {
    const int64_t cycle_bytes = 63 * 188;  // the defaults: 63 packets, 143616 samples
    const int64_t length = 45 * cycle_bytes + 5 * 188;
    write_file(path("in.ts"), make_stream(length));
    EXPECT_EQ(shell("cat in.ts | " + terramod({"-i", "-", "-v", "2"}) + " >out.txt"), 0);
    std::string expected;
    for (int64_t cycle = 1; cycle <= 46; ++cycle) {
        char line[64];
        std::snprintf(line, sizeof line, "%.1f MB in, %.2f s out (",
                      std::min(cycle * cycle_bytes, length) / 1e6, cycle * 143616 / (64e6 / 7));
        expected += line;
    }
    const std::string console = read_file(path("out.txt"));
    std::string found;
    for (size_t at = console.find(" MB in"); at != std::string::npos;
         at = console.find(" MB in", at + 1)) {
        const size_t start = console.rfind('\n', at) + 1;
        found += console.substr(start, console.find('(', at) + 1 - start);
    }
    EXPECT_EQ(found, expected);
    // 46 frames: the last symbol is in frame 1 of superframe 11.
    EXPECT_TRUE(ends_with(console.substr(0, console.find("Elapsed")),
                          "0.5 MB in, 0.72 s out (S67,F1,SF000011)\n"));
}

// ---------------------------------------------------------------------------
// Standard output: chosen as the parser takes the arguments.

struct ConsoleCase {
    const char* label;
    std::vector<std::string> arguments;
    bool samples_on_standard_output;
};
void PrintTo(const ConsoleCase& c, std::ostream* out) {
    *out << c.label;
}

class StandardOutputChoiceE2e : public StreamE2e,
                                public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(StandardOutputChoiceE2e, SamplesOnStandardOutputConsoleOnStandardError) {
    const ConsoleCase& c = GetParam();
    const std::string expected = file_run_samples(make_stream(70 * 188), {"-d", "e"});
    const std::string file_console = read_file(path("f.log"));
    EXPECT_EQ(shell(terramod(c.arguments) + " >stdout.bin 2>stderr.txt"), 0);
    const std::string out = read_file(path("stdout.bin"));
    const std::string errors = read_file(path("stderr.txt"));
    if (!c.samples_on_standard_output) {
        EXPECT_EQ(out.find('\0'), std::string::npos);  // text only
        EXPECT_EQ(errors, "");
        return;
    }
    EXPECT_TRUE(out == expected) << "standard output does not hold the samples";
    // The file run's text but for the output's name: on standard error and
    // in the log; the dumps under the default base name.
    auto comparable = [](std::string text) {
        const size_t name = text.find("DAC file name       : ") + 22;
        text.erase(name, text.find('\n', name) - name);
        return text.substr(0, text.find("Elapsed time = "));
    };
    EXPECT_EQ(comparable(errors), comparable(log_body(file_console)));
    EXPECT_EQ(comparable(log_body(read_file(path("test.log")))), comparable(errors));
    EXPECT_TRUE(read_file(path("dac_output_ed.bin")) == read_file(path("file_out_ed.bin")));
    EXPECT_FALSE(fs::exists(path("dac_output.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, StandardOutputChoiceE2e,
    ::testing::Values(
        ConsoleCase{"Dash", {"-i", "file_in.ts", "-d", "e", "-o", "-"}, true},
        ConsoleCase{"LaterDashWins", {"-o", "out", "-d", "e", "-i", "file_in.ts", "-o", "-"}, true},
        ConsoleCase{"LaterNameWins", {"-o", "-", "-i", "file_in.ts", "-o", "out"}, false},
        ConsoleCase{"OptionTakenAsLogName", {"-i", "file_in.ts", "-l", "-o", "-"}, false},
        ConsoleCase{"OutputAsLastArgument", {"-i", "file_in.ts", "-o", "-", "-o"}, false}),
    [](const auto& info) { return std::string(info.param.label); });

// What is refused, before anything is written and without waiting for input.
TEST_F(StreamE2e, RefusedOutputsEndWithCodeOne) {
    const std::string stream = make_stream(100 * 188);
    write_file(path("in.ts"), stream);
    ASSERT_EQ(::mkfifo(path("x.bin").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {terramod({"-i", "in.ts", "-o", "-", "-F", "agi"}),
         "FATAL ERROR: -F agi writes two files (I and Q) and cannot go to standard output (-o -)"},
        {terramod({"-i", "in.ts", "-o", "-"}) + " >>in.ts",
         "FATAL ERROR: standard output (-o -) is the input file"},
        {terramod({"-i", "in.ts", "-o", "-", "-l", "run.log"}) + " >>run.log",
         "FATAL ERROR: standard output (-o -) is the log file"},
        // A FIFO that no writer opens: a run that waited would time out.
        {"{ timeout 20 " + terramod({"-i", "x.bin", "-o", "x", "-d", "t"}) + " >&2; }",
         "FATAL ERROR: output file \"x.bin\" is the input file"},
    };
    for (const auto& [command, message] : cases) {
        EXPECT_EQ(shell(command + " 2>err.txt"), 1) << command;
        EXPECT_TRUE(ends_with(read_file(path("err.txt")), message + "\n")) << command;
    }
    EXPECT_EQ(read_file(path("in.ts")), stream);
    EXPECT_EQ(files(),
              (std::vector<std::string>{"err.txt", "in.ts", "run.log", "test.log", "x.bin"}));
}

// The reader of standard output goes away: the run stops at once.
TEST_F(StreamE2e, ReaderGoingAwayStopsAnEndlessInputWithCodeTwo) {
    // yes repeats a 187-character line and its line feed: 188-byte packets
    // whose "G" is the sync byte 0x47. The timeout turns a hang into a failure.
    const std::string generator = "yes G" + std::string(186, 'A');
    EXPECT_EQ(shell("timeout 60 sh -c " +
                    shell_quote(generator + " | { " + terramod({"-i", "-", "-o", "-"}) +
                                " 2>err.txt; echo $? >code.txt; } | head -c 1000000 >head.bin")),
              0);
    EXPECT_EQ(read_file(path("code.txt")), "2\n");
    EXPECT_EQ(fs::file_size(path("head.bin")), 1000000u);
    const std::string errors = read_file(path("err.txt"));
    const std::string message =
        "FATAL ERROR: standard output was closed by its reader (broken pipe) -> "
        "transmission stopped\n";
    EXPECT_TRUE(ends_with(errors, message)) << errors;
    EXPECT_TRUE(ends_with(read_file(path("test.log")), message));
    EXPECT_LE(count_of(errors, "*** Cycle #"), 2);  // stopped, not read on
}

// A character device is a stream: /dev/null is an empty one.
TEST_F(StreamE2e, DevNullIsAnEmptyStream) {
    // It may be the log as well: nothing stored is at stake.
    const RunResult result = run({"-i", "/dev/null", "-o", "out", "-d", "t", "-l", "/dev/null"});
    EXPECT_EQ(result.exit_code, 0) << result.console;
    EXPECT_EQ(result.console.find("Cycle"), std::string::npos);
    EXPECT_EQ(fs::file_size(path("out.bin")), 0u);
}

// A stream that cannot be read (a folder on standard input) ends there: the
// warning says why and the exit code is 2.
TEST_F(StreamE2e, ReadErrorEndsTheInputWithCodeTwo) {
    EXPECT_EQ(shell(terramod({"-i", "-", "-o", "out", "-d", "t"}) + " <. >out.txt"), 2);
    EXPECT_NE(read_file(path("out.txt"))
                  .find("WARNING: Couldn't read from standard input (Is a directory) -> input "
                        "ends here\n"),
              std::string::npos);
    EXPECT_TRUE(ends_with(read_file(path("test.log")), kFooter));
}

}  // namespace
}  // namespace terramod::e2e
