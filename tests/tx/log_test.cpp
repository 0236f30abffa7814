#include "common/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace terramod {
namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ = fs::temp_directory_path() /
                     ("terramod_log_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        console_ = open_memstream(&console_buffer_, &console_size_);
        ASSERT_NE(console_, nullptr);
    }
    void TearDown() override {
        if (console_) std::fclose(console_);
        std::free(console_buffer_);
        fs::remove_all(directory_);
    }

    std::string console_text() {
        std::fflush(console_);
        return std::string(console_buffer_, console_size_);
    }
    static std::string file_text(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    // Splits "header line + empty line" off the file's text.
    static std::string after_header(const std::string& text) {
        size_t end = text.find("\n\n");
        return end == std::string::npos ? "<no header>" : text.substr(end + 2);
    }

    fs::path directory_;
    std::FILE* console_ = nullptr;
    char* console_buffer_ = nullptr;
    size_t console_size_ = 0;
};

const char kFooter[] = "________________________________________________\n\n";

bool ends_with_text(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(LogTest, HeaderFormat) {
    fs::path path = directory_ / "run.log";
    Log log(4, console_);
    ASSERT_TRUE(log.open(path.string()));
    log.close();
    std::string text = file_text(path);
    std::regex header("Log file for terramod ==> " + path.string() +
                      " , (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n\n" +
                      kFooter);
    EXPECT_TRUE(std::regex_match(text, header)) << text;
    EXPECT_EQ(console_text(), "");  // the header goes to the file only
}

TEST_F(LogTest, CalendarTextIsTwentyFourEnglishCharacters) {
    // Midday on 2004-08-03 UTC: whatever the time zone, a single-digit day of
    // the month in August 2004 (the 2nd, 3rd or 4th).
    std::time_t when = 1091534400;
    std::string text = calendar_text(when);
    EXPECT_EQ(text.size(), 24u) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex("(Mon|Tue|Wed) Aug 0[234] [0-2][0-9]:[0-5][0-9]:"
                                                  "[0-5][0-9] 2004")))
        << text;

    fs::path path = directory_ / "fixed.log";
    Log log(4, console_);
    ASSERT_TRUE(log.open(path.string(), when));
    log.close_without_footer();
    EXPECT_EQ(file_text(path),
              "Log file for terramod ==> " + path.string() + " , " + text + "\n\n");
}

TEST_F(LogTest, ConsoleAndFileIdenticalAndNothingAdded) {
    fs::path path = directory_ / "same.log";
    Log log(4, console_);
    ASSERT_TRUE(log.open(path.string()));
    log.write(LogLevel::kStages, "Scrambling ... ");
    log.write(LogLevel::kStages, " done.\n");
    log.write(LogLevel::kProgress, "*** Cycle #%d ***\n", 1);
    log.write(LogLevel::kWarnings, "Elapsed time = %.3f s. ", 1.5);
    log.write(LogLevel::kWarnings, "Approx. %.3f kbps.\n", 6032.086);
    std::string long_text(100000, 'z');
    log.write(LogLevel::kErrors, "%s\n", long_text.c_str());
    log.close();
    const std::string expected =
        "Scrambling ...  done.\n*** Cycle #1 ***\n"
        "Elapsed time = 1.500 s. Approx. 6032.086 kbps.\n" +
        long_text + "\n";
    EXPECT_EQ(console_text(), expected);
    EXPECT_EQ(after_header(file_text(path)), expected + kFooter);
}

TEST_F(LogTest, LevelsFilterConsoleAndFileAlike) {
    for (int verbosity = 0; verbosity <= 4; ++verbosity) {
        fs::path path = directory_ / ("level" + std::to_string(verbosity) + ".log");
        std::fclose(console_);
        std::free(console_buffer_);
        console_buffer_ = nullptr;
        console_ = open_memstream(&console_buffer_, &console_size_);
        ASSERT_NE(console_, nullptr);

        Log log(verbosity, console_);
        ASSERT_TRUE(log.open(path.string()));
        std::string expected;
        for (int level = 0; level <= 4; ++level) {
            log.write(static_cast<LogLevel>(level), "level %d\n", level);
            if (level <= verbosity) expected += "level " + std::to_string(level) + "\n";
        }
        log.close();
        EXPECT_EQ(console_text(), expected) << verbosity;
        EXPECT_EQ(after_header(file_text(path)), expected + kFooter) << verbosity;
    }
}

// A run that computes one cycle ahead holds that cycle's messages back and
// prints them after the current cycle's: console and file get the text in
// the order released, filtered by the verbosity as it was written; held
// text that is discarded appears nowhere.
TEST_F(LogTest, HeldMessagesFollowTheDirectOnesWhenReleased) {
    fs::path path = directory_ / "held.log";
    Log log(2, console_);
    ASSERT_TRUE(log.open(path.string()));
    log.write(LogLevel::kProgress, "*** Cycle #%d ***\n", 1);
    log.hold(true);
    log.write(LogLevel::kProgress, "*** Cycle #%d ***\n", 2);
    log.write(LogLevel::kStages, "Scrambling ... ");  // above the verbosity: never printed
    log.write(LogLevel::kWarnings, "WARNING: packet #%d\n", 7);
    log.hold(false);
    log.write(LogLevel::kProgress, "%.1f%% done\n", 50.0);
    EXPECT_EQ(console_text(), "*** Cycle #1 ***\n50.0% done\n");
    log.release_held();
    log.release_held();  // nothing left to print
    log.hold(true);
    log.write(LogLevel::kProgress, "*** Cycle #%d ***\n", 3);
    log.hold(false);
    log.discard_held();
    log.release_held();
    log.close();
    const std::string expected =
        "*** Cycle #1 ***\n50.0% done\n*** Cycle #2 ***\nWARNING: packet #7\n";
    EXPECT_EQ(console_text(), expected);
    EXPECT_EQ(after_header(file_text(path)), expected + kFooter);
}

TEST_F(LogTest, StopWithoutFooterAndTruncation) {
    fs::path path = directory_ / "stopped.log";
    {
        Log log(4, console_);
        ASSERT_TRUE(log.open(path.string()));
        log.write(LogLevel::kErrors, "first run, a long line that must vanish\n");
        log.close();
    }
    {
        Log log(4, console_);
        ASSERT_TRUE(log.open(path.string()));
        log.fatal("stop\n");
        log.close_without_footer();
        log.write(LogLevel::kErrors, "after close\n");  // console only
    }
    EXPECT_EQ(after_header(file_text(path)), "FATAL ERROR: stop\n");
    EXPECT_NE(console_text().find("after close\n"), std::string::npos);
}

TEST_F(LogTest, DestructorClosesWithoutFooter) {
    fs::path path = directory_ / "dropped.log";
    {
        Log log(4, nullptr);
        ASSERT_TRUE(log.open(path.string()));
        log.write(LogLevel::kProgress, "report\n");
    }
    EXPECT_EQ(after_header(file_text(path)), "report\n");
}

TEST_F(LogTest, UncreatableFileWritesNothing) {
    Log log(4, console_);
    EXPECT_FALSE(log.open((directory_ / "missing" / "x.log").string()));
    EXPECT_FALSE(log.is_open());
    EXPECT_FALSE(fs::exists(directory_ / "missing"));
    log.write(LogLevel::kProgress, "still on the console\n");
    log.close();  // no file: nothing to do
    EXPECT_EQ(console_text(), "still on the console\n");
}

// A log file that cannot take the text (/dev/full fails every write with
// ENOSPC): the failure is found when the text reaches the file: at once for
// a warning or an error (level 0 or 1, written through), else at a long
// message, the footer or the final close. Each way, one warning on the
// console, the messages still on the console, and the failure known for the
// exit code.
TEST_F(LogTest, WriteFailureWarnsOnceAndIsKnown) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string warning =
        "WARNING: Can't write to log file \"/dev/full\" -> logging to console only\n";
    const std::string long_message = std::string(200000, 'x') + "\n";
    enum class Ending { close, close_without_footer, destructor };
    struct Case {
        LogLevel level;
        std::vector<std::string> messages;
        Ending ending;
        std::string expected_console;
    };
    const std::vector<Case> cases = {
        {LogLevel::kProgress, {"short\n", "lines\n"}, Ending::close, "short\nlines\n" + warning},
        {LogLevel::kProgress, {"short\n"}, Ending::close_without_footer, "short\n" + warning},
        {LogLevel::kProgress, {"short\n"}, Ending::destructor, "short\n" + warning},
        {LogLevel::kProgress,
         {"before\n", long_message, "after\n", long_message},
         Ending::close,
         "before\n" + long_message + warning + "after\n" + long_message},
        {LogLevel::kErrors, {"short\n", "lines\n"}, Ending::close, "short\n" + warning + "lines\n"},
    };
    for (const Case& test : cases) {
        std::string console;
        bool had_write_failure = false;
        {
            Log log(4, nullptr);
            log.capture_to(&console);
            ASSERT_TRUE(log.open("/dev/full"));
            for (const std::string& message : test.messages)
                log.write(test.level, "%s", message.c_str());
            if (test.ending == Ending::close) log.close();
            if (test.ending == Ending::close_without_footer) log.close_without_footer();
            if (test.ending != Ending::destructor) had_write_failure = log.had_write_failure();
        }
        EXPECT_EQ(console, test.expected_console) << test.messages.size();
        if (test.ending != Ending::destructor) {
            EXPECT_TRUE(had_write_failure);
        }
    }
}

TEST_F(LogTest, WriteFailureStopsTheFileAndKeepsTheConsole) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Log log(4, console_);
    ASSERT_TRUE(log.open("/dev/full"));
    log.write(LogLevel::kErrors, "%s", std::string(100000, 'y').c_str());
    EXPECT_TRUE(log.had_write_failure());
    EXPECT_FALSE(log.is_open());
    log.write(LogLevel::kWarnings, "still on the console\n");
    log.close();
    const std::string console = console_text();
    EXPECT_TRUE(ends_with_text(console, "logging to console only\nstill on the console\n"))
        << console.substr(console.size() - 200);
}

TEST_F(LogTest, GoodFileHasNoWriteFailure) {
    fs::path path = directory_ / "good.log";
    Log log(4, console_);
    ASSERT_TRUE(log.open(path.string()));
    log.write(LogLevel::kErrors, "%s", std::string(100000, 'z').c_str());
    log.close();
    EXPECT_FALSE(log.had_write_failure());
    EXPECT_EQ(console_text(), std::string(100000, 'z'));
}

}  // namespace
}  // namespace terramod
