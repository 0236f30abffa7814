// ratestat is tested through its program: each test writes its input files to
// a directory of its own and runs the built binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_text(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    ASSERT_TRUE(file.good()) << path;
}

std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class RatestatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ = fs::temp_directory_path() /
                     ("ratestat_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    fs::path file(const std::string& name) const { return directory_ / name; }

    fs::path speed_file(const std::string& text) {
        const fs::path path = file("speeds_" + std::to_string(file_count_++) + ".txt");
        write_text(path, text);
        return path;
    }

    // Runs `program` with `arguments`; a run that hangs is stopped after a
    // while and reported with status 124.
    RunResult run(const std::string& program, const std::vector<std::string>& arguments) {
        std::string command = "timeout 60 " + shell_quoted(program);
        for (const auto& argument : arguments) {
            command += ' ';
            command += shell_quoted(argument);
        }
        const fs::path out = file("stdout.txt");
        const fs::path err = file("stderr.txt");
        command += " >";
        command += shell_quoted(out.string());
        command += " 2>";
        command += shell_quoted(err.string());
        const int raw_status = std::system(command.c_str());
        RunResult result;
        if (raw_status != -1 && WIFEXITED(raw_status)) result.status = WEXITSTATUS(raw_status);
        result.out = read_text(out);
        result.err = read_text(err);
        // `make check-sanitizers` ends a run with 86 when the sanitizers find a fault.
        EXPECT_NE(result.status, 86) << result.err;
        return result;
    }

    RunResult ratestat(const std::vector<std::string>& arguments) {
        return run(RATESTAT_BINARY, arguments);
    }

    // The four lines that follow the "Reading" line.
    static std::string statistics_lines(double minimum, double maximum, double average,
                                        double wpp) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "Minimum speed is %f kbps\nMaximum speed is %f kbps\n"
                      "Average speed is %f kbps\nWPP is %.0f\n",
                      minimum, maximum, average, wpp);
        return text;
    }

    static std::string reading_line(const fs::path& path) {
        return "Reading " + path.string() + " (" + std::to_string(fs::file_size(path)) +
               " bytes)\n";
    }

    fs::path directory_;
    int file_count_ = 0;
};

const std::string first_line = "Elapsed time = 2.500 s. Approx. 1000.000 kbps.\n";
const std::string second_line = "Elapsed time = 1.250 s. Approx. 3000.000 kbps.\n";

TEST_F(RatestatTest, MissingArgumentsPrintOnlyTheUsageLine) {
    const fs::path speeds = speed_file(first_line);
    for (const auto& arguments : {std::vector<std::string>{}, {speeds.string()}}) {
        const RunResult result = ratestat(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "Usage: ratestat file_name clock_mhz\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(RatestatTest, OneSpeedLine) {
    const fs::path speeds = speed_file("Elapsed time = 2.500 s. Approx. 1500.000 kbps.\n");
    const RunResult result = ratestat({speeds.string(), "500"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Reading " + speeds.string() +
                              " (47 bytes)\n"
                              "Minimum speed is 1500.000000 kbps\n"
                              "Maximum speed is 1500.000000 kbps\n"
                              "Average speed is 1500.000000 kbps\n"
                              "WPP is 3000\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(RatestatTest, TwoSpeedLines) {
    const fs::path speeds = speed_file(first_line + second_line);
    const RunResult result = ratestat({speeds.string(), "1000"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, reading_line(speeds) + statistics_lines(1000, 3000, 2000, 2000));
}

TEST_F(RatestatTest, WhiteSpaceBetweenAndAfterSpeedLinesChangesNothing) {
    const std::string expected = statistics_lines(1000, 3000, 2000, 2000);
    const std::vector<std::string> layouts = {
        first_line + "\n\n   \n" + second_line,
        first_line + second_line + "\n\n\t  \n",
        "Elapsed time = 2.500 s. Approx. 1000.000 kbps.   \r\n\r\n" + second_line + "  \t",
        // Each white-space character of the line format matches any run of
        // white space, none included, so a line may even be split or squeezed.
        "Elapsed  time\t=\n2.5 s.\nApprox. 1000 kbps.Elapsedtime=1.25s.Approx.3000kbps.",
    };
    for (const auto& layout : layouts) {
        const fs::path speeds = speed_file(layout);
        const RunResult result = ratestat({speeds.string(), "1000"});
        EXPECT_EQ(result.status, 0) << layout;
        EXPECT_EQ(result.out, reading_line(speeds) + expected) << layout;
    }
}

TEST_F(RatestatTest, LastLineWithoutLineEndIsCountedOnce) {
    // Counted twice, the last speed would make the average 2333.333333.
    const fs::path speeds =
        speed_file(first_line + "Elapsed time = 1.250 s. Approx. 3000.000 kbps.");
    const RunResult result = ratestat({speeds.string(), "1000"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, reading_line(speeds) + statistics_lines(1000, 3000, 2000, 2000));
}

TEST_F(RatestatTest, FileLargerThanTheMemoryAllowedIsReadInConstantMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
    // 64 MiB of speed lines, read with 48 MiB of address space for the whole
    // process: a reader that holds the file in memory runs out.
    std::string two_lines = first_line + second_line;
    const std::size_t pair_count = (std::size_t{64} << 20) / two_lines.size();
    const fs::path speeds = file("large.txt");
    {
        std::ofstream out(speeds, std::ios::binary);
        std::string block;
        for (int pair = 0; pair < 1024; ++pair) block += two_lines;
        for (std::size_t pair = 0; pair < pair_count; pair += 1024) out << block;
        ASSERT_TRUE(out.good());
    }
    const RunResult result = run("/bin/sh", {"-c", "ulimit -v 49152 && exec \"$0\" \"$@\"",
                                             RATESTAT_BINARY, speeds.string(), "1000"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, reading_line(speeds) + statistics_lines(1000, 3000, 2000, 2000));
    EXPECT_EQ(result.err, "");
}

TEST_F(RatestatTest, ArgumentsAfterTheClockAreIgnored) {
    const fs::path speeds = speed_file(first_line + second_line);
    const RunResult result = ratestat({speeds.string(), "1000", "0", "nonsense"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, reading_line(speeds) + statistics_lines(1000, 3000, 2000, 2000));
}

// The lowest and highest speeds are speeds of the file, wherever they lie
// (the extremes once started from 10^10 and 0, which no line need reach).
TEST_F(RatestatTest, ExtremesAreSpeedsOfTheFile) {
    struct Case {
        std::vector<std::string> speeds;
        double minimum, maximum, average;
    };
    const std::vector<Case> cases = {
        {{"10000000000", "3e10"}, 1e10, 3e10, 2e10},
        {{"2e10", "3e10", "4e10"}, 2e10, 4e10, 3e10},
        {{"5e12"}, 5e12, 5e12, 5e12},
        {{"0.000", "0"}, 0, 0, 0},
        {{"0.5", "0.25"}, 0.25, 0.5, 0.375},
        {{"7", "1", "9", "3"}, 1, 9, 5},
    };
    for (const Case& expected : cases) {
        std::string text;
        for (const std::string& speed : expected.speeds)
            text += "Elapsed time = 1 s. Approx. " + speed + " kbps.\n";
        const fs::path speeds = speed_file(text);
        const RunResult result = ratestat({speeds.string(), "1000"});
        EXPECT_EQ(result.status, 0) << text;
        EXPECT_EQ(result.out,
                  reading_line(speeds) + statistics_lines(expected.minimum, expected.maximum,
                                                          expected.average, expected.average))
            << text;
    }
}

TEST_F(RatestatTest, NanInfiniteAndNegativeSpeedsAreNotSpeedLines) {
    const std::vector<std::string> not_speeds = {"nan",    "NAN",      "-nan",  "nan(123)",
                                                 "inf",    "INFINITY", "-inf",  "1e999",
                                                 "-4.000", "-1e-300",  "-0.000"};
    for (const std::string& speed : not_speeds) {
        for (int line : {1, 3}) {
            std::string text;
            for (int before = 1; before < line; ++before) text += first_line;
            text += "Elapsed time = 1.000 s. Approx. " + speed + " kbps.\n" + second_line;
            const fs::path speeds = speed_file(text);
            const RunResult result = ratestat({speeds.string(), "1000"});
            EXPECT_EQ(result.status, 1) << text;
            EXPECT_EQ(result.out, reading_line(speeds)) << text;
            EXPECT_EQ(result.err, "Line " + std::to_string(line) + " is not a speed line\n")
                << text;
        }
    }
}

TEST_F(RatestatTest, TextThatIsNotASpeedLineStopsWithItsLineNumber) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"garbage\n", "Line 1 is not a speed line\n"},
        {first_line + "\n\n# comment\n" + second_line, "Line 4 is not a speed line\n"},
        {first_line + second_line + "Elapsed time = 1.000 s. Approx. 5 Mbps.\n",
         "Line 3 is not a speed line\n"},
        // A line cut short is not a speed line either.
        {first_line + "Elapsed time = 1.000 s. Approx. 5", "Line 2 is not a speed line\n"},
        // The file must begin with its first speed line.
        {"\n" + first_line, "Line 1 is not a speed line\n"},
        {first_line + "Elapsed time = x s. Approx. 5 kbps.\n", "Line 2 is not a speed line\n"},
    };
    for (const auto& [text, message] : cases) {
        const fs::path speeds = speed_file(text);
        const RunResult result = ratestat({speeds.string(), "1000"});
        EXPECT_EQ(result.status, 1) << text;
        EXPECT_EQ(result.err, message) << text;
        EXPECT_EQ(result.out, reading_line(speeds)) << text;
    }
}

TEST_F(RatestatTest, UnreadableFilesAndFilesWithoutSpeedLinesAreRefused) {
    const std::string missing = file("missing.txt").string();
    RunResult result = ratestat({missing, "1000"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Can't read \"" + missing + "\"\n");

    result = ratestat({directory_.string(), "1000"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't read \"" + directory_.string() + "\"\n");

    // A file that can be measured but not opened (not testable as root, who
    // may open anything).
    if (geteuid() != 0) {
        const fs::path locked = speed_file(first_line);
        fs::permissions(locked, fs::perms::none);
        result = ratestat({locked.string(), "1000"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, reading_line(locked));
        EXPECT_EQ(result.err, "Can't read \"" + locked.string() + "\"\n");
    }

    for (const std::string blank : {"", " \n\n\t\r\n"}) {
        const fs::path speeds = speed_file(blank);
        result = ratestat({speeds.string(), "1000"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, reading_line(speeds));
        EXPECT_EQ(result.err, "No speed lines in \"" + speeds.string() + "\"\n");
    }
}

TEST_F(RatestatTest, ClockMustBeAPositiveNumber) {
    const fs::path speeds = speed_file(first_line + second_line);
    for (const std::string clock : {"0", "-1000", "abc", "", "0.0MHz", "nan", "inf", "1e999"}) {
        const RunResult result = ratestat({speeds.string(), clock});
        EXPECT_EQ(result.status, 1) << clock;
        EXPECT_EQ(result.out, "") << clock;
        EXPECT_EQ(result.err, "Invalid clock frequency: " + clock + "\n") << clock;
    }
    // Converted like atof: leading white space skipped, trailing text ignored.
    const RunResult result = ratestat({speeds.string(), "  500MHz"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, reading_line(speeds) + statistics_lines(1000, 3000, 2000, 4000));
}

TEST_F(RatestatTest, ReadsTheSpeedLinesOfRealTerramodRuns) {
    std::string packets;
    for (int packet = 0; packet < 2; ++packet) {
        packets += '\x47';
        packets.append(187, '\0');
    }
    write_text(file("input.ts"), packets);

    std::string speed_lines;
    std::vector<double> speeds;  // as the C library reads them from the log
    for (int run_number = 0; run_number < 2; ++run_number) {
        const fs::path log = file("run" + std::to_string(run_number) + ".log");
        const RunResult result =
            run(TERRAMOD_BINARY, {"-i", file("input.ts").string(), "-o", file("out").string(), "-l",
                                  log.string(), "-v", "1"});
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        std::istringstream log_lines(read_text(log));
        std::string line;
        while (std::getline(log_lines, line)) {
            const auto start = line.find("Elapsed time");
            if (start == std::string::npos) continue;
            speed_lines += line.substr(start) + "\n";
            double elapsed = 0.0;
            double speed = 0.0;
            ASSERT_EQ(std::sscanf(line.c_str() + start, "Elapsed time = %lf s. Approx. %lf kbps.",
                                  &elapsed, &speed),
                      2)
                << line;
            speeds.push_back(speed);
        }
    }
    if (speed_lines.empty()) GTEST_SKIP() << "terramod wrote no speed line into its log";

    ASSERT_EQ(speeds.size(), 2u) << speed_lines;
    const double sum = speeds[0] + speeds[1];
    const fs::path speed_path = speed_file(speed_lines);
    const RunResult result = ratestat({speed_path.string(), "1000"});
    EXPECT_EQ(result.status, 0) << speed_lines << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              reading_line(speed_path) + statistics_lines(std::min(speeds[0], speeds[1]),
                                                          std::max(speeds[0], speeds[1]), sum / 2,
                                                          sum * 1000 / 2 / 1000))
        << speed_lines;
}

}  // namespace
