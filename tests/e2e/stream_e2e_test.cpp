// terramod in a pipe: the stream from standard input or a FIFO, the samples to
// standard output. The oracle throughout is the run of the same stream from a
// regular file into out.bin (-o out -d t), whose bytes the file tests pin.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

// Sampling rate of an 8 MHz channel, 64/7 MHz (EN 300 744 clause 4.4).
constexpr double kSamplingRate8MHz = 64e6 / 7;
constexpr const char* kBrokenPipeMessage =
    "FATAL ERROR: standard output was closed by its reader (broken pipe) -> "
    "transmission stopped\n";

class StreamE2e : public E2eTest {
  protected:
    // Runs `command` through the shell in the test folder; its exit code.
    int shell(const std::string& command) const {
        const std::string full =
            "cd " + shell_quote(directory_.string()) + " && { " + command + "\n}";
        const int status = std::system(full.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // terramod and its arguments, quoted for the shell.
    static std::string terramod(const std::vector<std::string>& arguments) {
        std::string command = shell_quote(TERRAMOD_BINARY);
        for (const std::string& argument : arguments)
            command.append(" ").append(shell_quote(argument));
        return command;
    }

    // The oracle: the same bytes from a regular file, the signal into a file.
    std::string file_run_samples(const std::string& stream,
                                 const std::vector<std::string>& options) const {
        write_file(path("file_in.ts"), stream);
        std::vector<std::string> arguments = {"-i", "file_in.ts", "-o", "file_out",
                                              "-d", "t",          "-l", "file.log"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(shell(terramod(arguments) + " >/dev/null 2>&1"), 0);
        return read_file(path("file_out.bin"));
    }

    // terramod -i - -o - with `stream` written to its standard input in pieces
    // of `piece` bytes with a pause after each (a live source); its exit code.
    int run_fed_in_pieces(const std::string& stream, const std::vector<std::string>& options,
                          size_t piece, std::chrono::microseconds pause) const {
        std::vector<std::string> arguments = {"-i", "-", "-o", "-", "-l", "stream.log"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string command = "cd " + shell_quote(directory_.string()) + " && " +
                                    terramod(arguments) + " >stream_out.bin 2>stream.err";
        // A terramod that quits early must fail the test, not kill it.
        std::signal(SIGPIPE, SIG_IGN);
        std::FILE* writer = ::popen(command.c_str(), "w");
        if (!writer) return -1;
        for (size_t at = 0; at < stream.size(); at += piece) {
            const size_t count = std::min(piece, stream.size() - at);
            if (std::fwrite(stream.data() + at, 1, count, writer) != count) break;
            std::fflush(writer);
            std::this_thread::sleep_for(pause);
        }
        const int status = ::pclose(writer);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// ---------------------------------------------------------------------------
// Stream equals file: every setting, every way a stream arrives.

struct Setting {
    const char* label;
    std::vector<std::string> options;
};
const Setting kSettings[] = {
    {"Default2kQpskZeroIf1x", {}},
    {"Qam16Rate34Guard14BbIf2x", {"-M", "16", "-p", "3/4", "-D", "1/4", "-f", "BBIF", "-F", "2x"}},
    {"Mode8kQam64Rate78Guard18x4", {"-8k", "-M", "64", "-p", "7/8", "-D", "1/8", "-F", "4x"}},
    {"Mode8kQpskRate23Guard116BbIf7MHz",
     {"-8k", "-p", "2/3", "-D", "1/16", "-f", "BBIF", "-b", "7"}},
    {"Qam64Alpha2Rate56Mhz6x4", {"-M", "64", "-a", "2", "-p", "5/6", "-b", "6", "-F", "4x"}},
    {"Qam16ZeroInitGuard116x2", {"-M", "16", "-c", "0", "-D", "1/16", "-F", "2x"}},
};

void PrintTo(const Setting& setting, std::ostream* out) {
    *out << setting.label;
}

enum class Delivery { kCatPipe, kPiecesWithPauses, kFifo };
const char* delivery_name(Delivery delivery) {
    switch (delivery) {
        case Delivery::kCatPipe:
            return "CatPipe";
        case Delivery::kPiecesWithPauses:
            return "PiecesWithPauses";
        case Delivery::kFifo:
            return "Fifo";
    }
    return "?";
}

class StreamEqualsFileE2e : public StreamE2e,
                            public ::testing::WithParamInterface<std::tuple<Setting, Delivery>> {};

TEST_P(StreamEqualsFileE2e, SamplesOnStandardOutputAreTheFileRunsBytes) {
    const auto& [setting, delivery] = GetParam();
    // Enough for several 2k cycles, ending 100 bytes into a packet.
    const std::string stream = make_stream(300 * 188 + 100);
    const std::string expected = file_run_samples(stream, setting.options);
    ASSERT_FALSE(expected.empty());

    write_file(path("in.ts"), stream);
    std::vector<std::string> arguments = {"-i", "-", "-o", "-", "-l", "stream.log"};
    arguments.insert(arguments.end(), setting.options.begin(), setting.options.end());
    int exit_code = -1;
    switch (delivery) {
        case Delivery::kCatPipe:
            exit_code =
                shell("cat in.ts | " + terramod(arguments) + " >stream_out.bin 2>stream.err");
            break;
        case Delivery::kPiecesWithPauses:
            exit_code =
                run_fed_in_pieces(stream, setting.options, 1000, std::chrono::microseconds(500));
            break;
        case Delivery::kFifo: {
            ASSERT_EQ(::mkfifo(path("in.fifo").c_str(), 0600), 0);
            arguments[1] = "in.fifo";
            // terramod opens the FIFO first and waits for its writer.
            exit_code = shell(terramod(arguments) + " >stream_out.bin 2>stream.err & " +
                              "sleep 0.2; cat in.ts >in.fifo; wait $!");
            break;
        }
    }
    EXPECT_EQ(exit_code, 0) << read_file(path("stream.err"));
    const std::string samples = read_file(path("stream_out.bin"));
    EXPECT_EQ(samples.size(), expected.size());
    EXPECT_TRUE(samples == expected) << "the samples differ from the file run's";
    const std::string errors = read_file(path("stream.err"));
    EXPECT_EQ(
        count_of(errors, "WARNING: input ended inside a packet: its 100 bytes padded to 188\n"), 1)
        << errors;
    EXPECT_EQ(count_of(errors, "skipped"), 0);
    EXPECT_TRUE(ends_with(read_file(path("stream.log")), kFooter));
}

INSTANTIATE_TEST_SUITE_P(SettingsAndDeliveries, StreamEqualsFileE2e,
                         ::testing::Combine(::testing::ValuesIn(kSettings),
                                            ::testing::Values(Delivery::kCatPipe,
                                                              Delivery::kPiecesWithPauses,
                                                              Delivery::kFifo)),
                         [](const ::testing::TestParamInfo<std::tuple<Setting, Delivery>>& info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    delivery_name(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------------------
// A stream that starts inside a packet, or ends inside one.

struct MidPacketCase {
    const char* label;
    std::string prefix;  // bytes before the first whole packet
    int64_t tail;        // bytes of a last, partial packet
};

void PrintTo(const MidPacketCase& c, std::ostream* out) {
    *out << c.label;
}

std::string decoy_prefix() {
    // Sync bytes that do not repeat five times at packet pitch.
    std::string prefix(250, '\x11');
    prefix[3] = prefix[3 + 188] = 0x47;
    return prefix;
}

class MidPacketE2e : public StreamE2e, public ::testing::WithParamInterface<MidPacketCase> {};

TEST_P(MidPacketE2e, AlignedPaddedAndReported) {
    const MidPacketCase& c = GetParam();
    const std::string packets = make_stream(130 * 188 + c.tail);
    const std::string expected = file_run_samples(packets, {});
    write_file(path("in.ts"), c.prefix + packets);
    EXPECT_EQ(shell("cat in.ts | " + terramod({"-i", "-", "-o", "-"}) + " >out.bin 2>err.txt"), 0);
    EXPECT_TRUE(read_file(path("out.bin")) == expected) << "the samples differ from the file run's";

    const std::string errors = read_file(path("err.txt"));
    const std::string skip_warning = "WARNING: " + std::to_string(c.prefix.size()) +
                                     " bytes skipped before the first packet of standard input\n";
    EXPECT_EQ(count_of(errors, skip_warning), c.prefix.empty() ? 0 : 1) << errors;
    EXPECT_EQ(count_of(errors, "skipped"), c.prefix.empty() ? 0 : 1);
    const std::string end_warning = "WARNING: input ended inside a packet: its " +
                                    std::to_string(c.tail) + " bytes padded to 188\n";
    EXPECT_EQ(count_of(errors, end_warning), c.tail == 0 ? 0 : 1) << errors;
    EXPECT_EQ(count_of(errors, "ended inside a packet"), c.tail == 0 ? 0 : 1);
    // The warnings are in the log as well, with the level-1 texts.
    const std::string log = read_file(path("test.log"));
    if (!c.prefix.empty()) {
        EXPECT_NE(log.find(skip_warning), std::string::npos);
    }
    if (c.tail) {
        EXPECT_NE(log.find(end_warning), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MidPacketE2e,
    ::testing::Values(MidPacketCase{"Aligned", "", 0},
                      MidPacketCase{"OneByte", std::string(1, '\x47'), 0},
                      MidPacketCase{"TailOfAPacket", make_stream(188).substr(50), 0},
                      MidPacketCase{"AlmostAPacket", make_stream(188).substr(1), 57},
                      MidPacketCase{"DecoySyncBytes", decoy_prefix(), 1},
                      MidPacketCase{"EndsOneByteShort", "", 187},
                      MidPacketCase{"EndsAfterTheSyncByte", "", 1}),
    [](const ::testing::TestParamInfo<MidPacketCase>& info) { return info.param.label; });

// A regular file keeps today's behaviour: no alignment and no new warning,
// only the chain's sync warnings for its misplaced packets.
TEST_F(StreamE2e, RegularFileIsNeitherAlignedNorWarnedAbout) {
    write_file(path("in.ts"), std::string(1, '\x00') + make_stream(10 * 188 + 5));
    const RunResult result = run({"-i", "in.ts", "-o", "out", "-d", "t"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.console.find("skipped"), std::string::npos) << result.console;
    EXPECT_EQ(result.console.find("inside a packet"), std::string::npos);
    EXPECT_NE(result.console.find("% done"), std::string::npos);
    EXPECT_TRUE(read_file(path("out.bin")) != file_run_samples(make_stream(10 * 188 + 5), {}));
}

// ---------------------------------------------------------------------------
// The progress line of a stream: megabytes in, seconds of signal out.

TEST_F(StreamE2e, ProgressLineGivesInputTakenAndSignalProduced) {
    const int64_t packets_per_cycle = 63;  // the defaults
    const int64_t samples_per_cycle = 143616;
    const int64_t length = 45 * packets_per_cycle * 188 + 5 * 188;  // 46 cycles
    write_file(path("in.ts"), make_stream(length));
    EXPECT_EQ(shell("cat in.ts | " + terramod({"-i", "-", "-v", "2"}) + " >out.txt 2>err.txt"), 0);
    const std::string console = read_file(path("out.txt"));
    std::string expected;
    for (int64_t cycle = 1; cycle <= 46; ++cycle) {
        const int64_t taken = std::min(cycle * packets_per_cycle * 188, length);
        char line[128];
        std::snprintf(line, sizeof line, "%.1f MB in, %.2f s out (", taken / 1e6,
                      cycle * samples_per_cycle / kSamplingRate8MHz);
        expected += line;
    }
    std::string found;
    for (size_t at = console.find(" MB in, "); at != std::string::npos;
         at = console.find(" MB in, ", at + 1)) {
        const size_t start = console.rfind('\n', at) + 1;
        found += console.substr(start, console.find('(', at) + 1 - start);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(console.find("% done"), std::string::npos);
    // 46 frames: the last is frame 1 of superframe 11.
    EXPECT_NE(console.find("0.5 MB in, 0.72 s out (S67,F1,SF000011)\n"), std::string::npos)
        << console;
}

// ---------------------------------------------------------------------------
// Standard output: where the samples and the console text go.

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

TEST_P(StandardOutputChoiceE2e, DecidedAsTheParserTakesTheArguments) {
    const ConsoleCase& c = GetParam();
    write_file(path("in.ts"), make_stream(70 * 188));
    const std::string expected = file_run_samples(make_stream(70 * 188), {});
    EXPECT_EQ(shell(terramod(c.arguments) + " >stdout.bin 2>stderr.txt"), 0);
    const std::string out = read_file(path("stdout.bin"));
    const std::string errors = read_file(path("stderr.txt"));
    if (c.samples_on_standard_output) {
        EXPECT_TRUE(out == expected) << "standard output does not hold the samples";
        EXPECT_NE(errors.find("DAC stream dumping selected - Standard format\n"),
                  std::string::npos);
        EXPECT_NE(errors.find("Elapsed time = "), std::string::npos);
        EXPECT_FALSE(fs::exists(path("dac_output.bin")));
    } else {
        EXPECT_EQ(out.find('\0'), std::string::npos);  // text only
        EXPECT_NE(out.find("Elapsed time = "), std::string::npos);
        EXPECT_EQ(errors, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, StandardOutputChoiceE2e,
    ::testing::Values(ConsoleCase{"DashAlone", {"-i", "in.ts", "-o", "-"}, true},
                      ConsoleCase{"DashWithT", {"-i", "in.ts", "-d", "t", "-o", "-"}, true},
                      ConsoleCase{
                          "LaterOutputWins", {"-o", "-", "-i", "in.ts", "-o", "out"}, false},
                      ConsoleCase{"LaterDashWins", {"-o", "out", "-i", "in.ts", "-o", "-"}, true},
                      ConsoleCase{"DashAsLogName", {"-i", "in.ts", "-l", "-o", "-d", "t"}, false},
                      ConsoleCase{"OptionTakenAsLogName", {"-i", "in.ts", "-l", "-o", "-"}, false},
                      ConsoleCase{"OutputAsLastArgument", {"-i", "in.ts", "-o", "-", "-o"}, false}),
    [](const ::testing::TestParamInfo<ConsoleCase>& info) { return info.param.label; });

TEST_F(StreamE2e, ConsoleTextOnStandardErrorIsTheFileRunsWithTheLogUnchanged) {
    write_file(path("in.ts"), make_stream(200 * 188));
    const RunResult file_run = run({"-i", "in.ts", "-o", "out", "-d", "t", "-l", "file.log"});
    ASSERT_EQ(file_run.exit_code, 0);
    ASSERT_EQ(
        shell(terramod({"-i", "in.ts", "-o", "-", "-l", "pipe.log"}) + " >pipe.bin 2>pipe.err"), 0);
    EXPECT_TRUE(read_file(path("pipe.bin")) == read_file(path("out.bin")));
    // The same text but for the output's name and the timing figures.
    auto comparable = [](std::string text) {
        const size_t name = text.find("DAC file name       : ");
        if (name != std::string::npos) text.erase(name + 22, text.find('\n', name) - name - 22);
        return text.substr(0, text.find("Elapsed time = "));
    };
    EXPECT_EQ(comparable(read_file(path("pipe.err"))), comparable(file_run.console));
    EXPECT_EQ(comparable(log_body(read_file(path("pipe.log")))),
              comparable(log_body(read_file(path("file.log")))));
    EXPECT_TRUE(ends_with(read_file(path("pipe.log")), kFooter));
}

TEST_F(StreamE2e, DumpsBesideStandardOutputTakeTheDefaultBaseName) {
    write_file(path("in.ts"), make_stream(100 * 188));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "out", "-d", "emt"}).exit_code, 0);
    ASSERT_EQ(shell(terramod({"-i", "in.ts", "-o", "-", "-d", "em"}) + " >pipe.bin 2>pipe.err"), 0);
    EXPECT_TRUE(read_file(path("pipe.bin")) == read_file(path("out.bin")));
    EXPECT_TRUE(read_file(path("dac_output_ed.bin")) == read_file(path("out_ed.bin")));
    EXPECT_TRUE(read_file(path("dac_output_ma.bin")) == read_file(path("out_ma.bin")));
    EXPECT_FALSE(fs::exists(path("dac_output.bin")));
    EXPECT_FALSE(fs::exists(path("-.bin")));
    EXPECT_EQ(read_file(path("pipe.err")).find("no DAC stream file name"), std::string::npos);
}

TEST_F(StreamE2e, AgilentToStandardOutputIsRefused) {
    write_file(path("in.ts"), make_stream(100 * 188));
    EXPECT_EQ(shell(terramod({"-i", "in.ts", "-o", "-", "-F", "agi"}) + " >pipe.bin 2>pipe.err"),
              1);
    EXPECT_EQ(read_file(path("pipe.bin")), "");
    EXPECT_TRUE(ends_with(read_file(path("pipe.err")),
                          "FATAL ERROR: -F agi writes two files (I and Q) and cannot go to "
                          "standard output (-o -)\n"));
    EXPECT_FALSE(ends_with(read_file(path("test.log")), kFooter));
    EXPECT_EQ(files(), (std::vector<std::string>{"in.ts", "pipe.bin", "pipe.err", "test.log"}));
}

// ---------------------------------------------------------------------------
// The reader of standard output goes away: the run stops at once.

TEST_F(StreamE2e, ReaderGoingAwayStopsAnEndlessInputWithCodeTwo) {
    // `yes` repeats a 187-character line and its line feed: 188-byte packets
    // whose first byte, "G", is the sync byte 0x47. The timeout turns a hang
    // into a failure.
    const std::string packet_line = "G" + std::string(186, 'A');
    const std::string command =
        "timeout 60 sh -c " +
        shell_quote("yes " + packet_line + " | { " + terramod({"-i", "-", "-o", "-", "-d", "e"}) +
                    " 2>err.txt; echo $? >code.txt; } | " + "head -c 1000000 >head.bin");
    EXPECT_EQ(shell(command), 0) << "timed out";
    EXPECT_EQ(read_file(path("code.txt")), "2\n");
    EXPECT_EQ(fs::file_size(path("head.bin")), 1000000u);
    const std::string errors = read_file(path("err.txt"));
    EXPECT_TRUE(ends_with(errors, kBrokenPipeMessage)) << errors;
    // Stopped in the first cycles, not after reading on.
    EXPECT_LE(count_of(errors, "*** Cycle #"), 2);
    const std::string log = read_file(path("test.log"));
    EXPECT_TRUE(ends_with(log, kBrokenPipeMessage));
    // What the dump holds is whole cycles, flushed.
    EXPECT_EQ(fs::file_size(path("dac_output_ed.bin")) % kTsBytes, 0u);
    EXPECT_GT(fs::file_size(path("dac_output_ed.bin")), 0u);
}

// ---------------------------------------------------------------------------
// What the input may be, and what the outputs may not be.

TEST_F(StreamE2e, CharacterDeviceIsReadAsAStream) {
    // /dev/null: an empty stream, so no cycle and an empty output.
    const RunResult result = run({"-i", "/dev/null", "-o", "out", "-d", "t"});
    EXPECT_EQ(result.exit_code, 0) << result.console;
    EXPECT_EQ(result.console.find("Cycle"), std::string::npos);
    EXPECT_EQ(fs::file_size(path("out.bin")), 0u);
    EXPECT_TRUE(ends_with(read_file(path("test.log")), kFooter));
}

TEST_F(StreamE2e, OutputNamingTheInputFifoIsFatalAndDoesNotWait) {
    ASSERT_EQ(::mkfifo(path("x.bin").c_str(), 0600), 0);
    // No writer ever comes: a run that waited for one would hit the timeout.
    EXPECT_EQ(
        shell("timeout 20 " + terramod({"-i", "x.bin", "-o", "x", "-d", "t"}) + " >out.txt 2>&1"),
        1);
    EXPECT_TRUE(ends_with(read_file(path("out.txt")),
                          "FATAL ERROR: output file \"x.bin\" is the input file\n"));
    struct stat status {};
    ASSERT_EQ(::stat(path("x.bin").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST_F(StreamE2e, StandardOutputIntoTheInputOrTheLogIsFatal) {
    const std::string stream = make_stream(100 * 188);
    write_file(path("in.ts"), stream);
    struct Case {
        std::string redirection;
        std::string message;
    };
    const Case cases[] = {
        {">>in.ts", "FATAL ERROR: standard output (-o -) is the input file\n"},
        {">>run.log", "FATAL ERROR: standard output (-o -) is the log file\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shell(terramod({"-i", "in.ts", "-o", "-", "-l", "run.log"}) + " " +
                        c.redirection + " 2>err.txt"),
                  1);
        EXPECT_TRUE(ends_with(read_file(path("err.txt")), c.message));
        EXPECT_EQ(read_file(path("in.ts")), stream);
    }
    // Standard input and standard output are one terminal or pipe pair: fine.
    EXPECT_EQ(
        shell("cat in.ts | " + terramod({"-i", "-", "-o", "-"}) + " | cat >out.bin 2>/dev/null"),
        0);
    EXPECT_GT(fs::file_size(path("out.bin")), 0u);
}

}  // namespace
}  // namespace terramod::e2e
