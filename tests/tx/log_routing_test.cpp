// The log's console limit and console line, its size limit (NAME.1) and its
// reopening after SIGUSR1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/locked_file.h"
#include "common/log.h"
#include "common/stop_signals.h"

namespace terramod {
namespace {

namespace fs = std::filesystem;

const char kFooter[] = "________________________________________________\n\n";
// The header line with any date, and the empty line after it.
const std::string kDate =
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";

std::string file_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The text after a beginning that matches `pattern`, or nothing.
std::optional<std::string> after_match(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern),
                           std::regex_constants::match_continuous))
        return std::nullopt;
    return text.substr(static_cast<size_t>(match.length()));
}

// Splits the lines of `text`.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LogRoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ =
            fs::temp_directory_path() /
            ("terramod_log_routing_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    std::string header_pattern(const fs::path& path) const {
        return "Log file for terramod ==> " + path.string() + " , " + kDate + "\n\n";
    }

    fs::path directory_;
};

// What reaches the console and the file for each verbosity and console
// limit: the file keeps every message up to the verbosity, the console
// those up to the limit as well.
TEST_F(LogRoutingTest, ConsoleLimitRoutesByLevel) {
    struct Case {
        int verbosity;
        std::optional<LogLevel> limit;
        const char* console_levels;
        const char* file_levels;
    };
    const Case cases[] = {
        {4, std::nullopt, "01234", "01234"},  {4, LogLevel::kWarnings, "01", "01234"},
        {4, LogLevel::kErrors, "0", "01234"}, {2, LogLevel::kWarnings, "01", "012"},
        {0, LogLevel::kWarnings, "0", "0"},   {3, LogLevel::kMemory, "0123", "0123"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.verbosity);
        const fs::path path = directory_ / "limit.log";
        std::string console;
        Log log(test.verbosity, nullptr);
        log.capture_to(&console);
        ASSERT_TRUE(log.open(path.string()));
        if (test.limit) log.set_console_limit(*test.limit);
        for (int level = 0; level <= 4; ++level)
            log.write(static_cast<LogLevel>(level), "%d", level);
        log.close_without_footer();
        EXPECT_EQ(console, test.console_levels);
        const std::string text = file_text(path);
        EXPECT_EQ(text.substr(text.find("\n\n") + 2), test.file_levels);
    }
}

// Held messages keep their levels: the console gets the held warnings only,
// the file all of them, each in order.
TEST_F(LogRoutingTest, HeldMessagesKeepTheirRoute) {
    const fs::path path = directory_ / "held.log";
    std::string console;
    Log log(4, nullptr);
    log.capture_to(&console);
    ASSERT_TRUE(log.open(path.string()));
    log.set_console_limit(LogLevel::kWarnings);
    log.write(LogLevel::kProgress, "*** Cycle #1 ***\n");
    log.hold(true);
    log.write(LogLevel::kProgress, "*** Cycle #2 ***\n");
    log.write(LogLevel::kWarnings, "WARNING: packet #7\n");
    log.write(LogLevel::kStages, "Scrambling ... done.\n");
    log.hold(false);
    log.write(LogLevel::kProgress, "50.0%% done\n");
    log.write(LogLevel::kWarnings, "WARNING: before\n");
    log.release_held();
    log.hold(true);
    log.write(LogLevel::kWarnings, "WARNING: discarded\n");
    log.hold(false);
    log.discard_held();
    log.close();
    EXPECT_EQ(console, "WARNING: before\nWARNING: packet #7\n");
    const std::string text = file_text(path);
    EXPECT_EQ(text.substr(text.find("\n\n") + 2),
              std::string("*** Cycle #1 ***\n50.0% done\nWARNING: before\n*** Cycle #2 ***\n"
                          "WARNING: packet #7\nScrambling ... done.\n") +
                  kFooter);
}

// The console line is cleared before a console message and drawn again
// once the console is at a line's start; messages for the file only leave
// it alone.
TEST_F(LogRoutingTest, ConsoleLineAroundMessages) {
    struct Message {
        LogLevel level;
        const char* text;
    };
    struct Case {
        std::vector<Message> messages;
        const char* console;
        bool at_line_start;
    };
    const std::vector<Case> cases = {
        {{{LogLevel::kWarnings, "WARNING: a\n"}}, "[clear]WARNING: a\n[redraw]", true},
        {{{LogLevel::kProgress, "*** Cycle #1 ***\n"}, {LogLevel::kStages, "Scrambling"}},
         "",
         true},
        {{{LogLevel::kWarnings, "Elapsed "}, {LogLevel::kProgress, "hidden\n"}},
         "[clear]Elapsed ",
         false},
        {{{LogLevel::kWarnings, "Elapsed "}, {LogLevel::kWarnings, "Approx.\n"}},
         "[clear]Elapsed Approx.\n[redraw]",
         true},
        {{{LogLevel::kErrors, "FATAL ERROR: x\n"}, {LogLevel::kWarnings, "WARNING: y\n"}},
         "[clear]FATAL ERROR: x\n[redraw][clear]WARNING: y\n[redraw]",
         true},
    };
    for (const Case& test : cases) {
        std::string console;
        Log log(4, nullptr);
        log.capture_to(&console);
        log.set_console_limit(LogLevel::kWarnings);
        log.set_console_line([&] { console += "[clear]"; }, [&] { console += "[redraw]"; });
        for (const Message& message : test.messages) log.write(message.level, "%s", message.text);
        EXPECT_EQ(console, test.console);
        EXPECT_EQ(log.console_at_line_start(), test.at_line_start);
        // Without the line, messages as before.
        log.set_console_line({}, {});
        console.clear();
        log.write(LogLevel::kErrors, "\n");
        EXPECT_EQ(console, "\n");
    }
}

// Messages numbered 1 to `count`, each `length` bytes with its line feed.
std::vector<std::string> numbered_messages(int count, size_t length) {
    std::vector<std::string> messages;
    for (int number = 1; number <= count; ++number) {
        std::string message = "message #" + std::to_string(number) + " ";
        message.resize(length - 1, 'x');
        messages.push_back(message + "\n");
    }
    return messages;
}

std::string joined(const std::vector<std::string>& messages) {
    std::string all;
    for (const std::string& message : messages) all += message;
    return all;
}

// Past the size limit the file becomes NAME.1 and NAME starts again with its
// header and a line naming NAME.1; every message is in exactly one of them,
// in order, neither file is longer than the limit, and the console has them
// all. A second rotation replaces NAME.1: the two files then hold the latest
// messages, without a gap.
TEST_F(LogRoutingTest, RotationAtTheSizeLimit) {
    constexpr uint64_t kLimit = 64 * 1024;
    struct Case {
        int messages;
        LogLevel level;  // warnings are written at once, progress lines gathered
        int rotations;
    };
    const Case cases[] = {
        {1000, LogLevel::kProgress, 1},  // 100,000 bytes
        {1000, LogLevel::kWarnings, 1},
        {600, LogLevel::kProgress, 0},   // 60,000 bytes: no rotation
        {2000, LogLevel::kProgress, 2},  // 200,000 bytes
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.messages);
        const fs::path path = directory_ / "capped.log";
        const fs::path older = directory_ / "capped.log.1";
        fs::remove(path);
        fs::remove(older);
        const std::vector<std::string> messages = numbered_messages(test.messages, 100);
        std::string console;
        {
            Log log(4, nullptr);
            log.capture_to(&console);
            ASSERT_TRUE(log.open(path.string()));
            log.set_max_size(kLimit);
            for (const std::string& message : messages)
                log.write(test.level, "%s", message.c_str());
            // The open file keeps its lock under the new name's file.
            LockedOpenResult result;
            EXPECT_EQ(open_locked_for_writing(path.string(), "w", result), nullptr);
            EXPECT_EQ(result, LockedOpenResult::kInUse);
            EXPECT_FALSE(locked_by_another(older.string()));
            log.close();
        }
        const std::string all = joined(messages);
        EXPECT_EQ(console, all);

        const std::string newest = file_text(path);
        EXPECT_LE(newest.size(), kLimit);
        if (test.rotations == 0) {
            EXPECT_FALSE(fs::exists(older));
            EXPECT_EQ(after_match(newest, header_pattern(path)), all + kFooter);
            continue;
        }
        const std::string before = file_text(older);
        EXPECT_LE(before.size(), kLimit);
        const std::string continued =
            header_pattern(path) + "This log continues " + older.string() + "\n";
        const std::optional<std::string> newest_body = after_match(newest, continued);
        ASSERT_TRUE(newest_body) << newest.substr(0, 200);
        ASSERT_TRUE(newest_body->ends_with(kFooter));
        // NAME.1 starts as the first file did, or as a continued one.
        const std::optional<std::string> older_body =
            after_match(before, test.rotations == 1 ? header_pattern(path) : continued);
        ASSERT_TRUE(older_body) << before.substr(0, 200);
        const std::string kept =
            *older_body + newest_body->substr(0, newest_body->size() - std::strlen(kFooter));
        if (test.rotations == 1) {
            EXPECT_EQ(kept, all);
        } else {
            // The latest messages, whole, up to the last.
            EXPECT_TRUE(all.ends_with(kept));
            EXPECT_EQ(lines_of(kept).size() * 100, kept.size());
            EXPECT_GT(kept.size(), kLimit);
        }
    }
}

// NAME.1 written by another run stays: the limit is given up with a warning,
// the file grows on and keeps every message.
TEST_F(LogRoutingTest, NoRotationOverAnotherRunsFile) {
    const fs::path path = directory_ / "shared.log";
    const fs::path older = directory_ / "shared.log.1";
    LockedOpenResult result;
    std::FILE* other = open_locked_for_writing(older.string(), "w", result);
    ASSERT_NE(other, nullptr);
    ASSERT_GE(std::fputs("another run\n", other), 0);
    ASSERT_EQ(std::fflush(other), 0);
    std::string console;
    const std::vector<std::string> messages = numbered_messages(1000, 100);
    {
        Log log(4, nullptr);
        log.capture_to(&console);
        ASSERT_TRUE(log.open(path.string()));
        log.set_max_size(64 * 1024);
        for (const std::string& message : messages)
            log.write(LogLevel::kProgress, "%s", message.c_str());
        log.close();
    }
    std::fclose(other);
    EXPECT_EQ(file_text(older), "another run\n");
    const std::string all = joined(messages);
    const std::string newest = file_text(path);
    EXPECT_TRUE(newest.ends_with(all + kFooter));
    const std::string warning = "WARNING: log file \"" + path.string() +
                                "\" not limited in size any more (\"" + older.string() +
                                "\" is in use by another run)\n";
    EXPECT_NE(console.find(warning), std::string::npos) << console.substr(console.size() - 300);
    EXPECT_EQ(console.size(), all.size() + warning.size());
}

// SIGUSR1 reopens the file by name at the log's next write or flush: the
// text before the signal stays in the file as it was, the text after goes
// to the file the name now gives (appended, with a header when it is new or
// empty), after a line saying it was reopened. The process lives on.
TEST_F(LogRoutingTest, ReopenOnSigusr1) {
    install_log_reopen_signal();
    enum class Before { kMovedAway, kMovedAndCreated, kMovedAndOtherText, kLeft };
    struct Case {
        Before before;
        bool partial_line;  // a message without its line feed before the signal
    };
    const Case cases[] = {
        {Before::kMovedAway, true},
        {Before::kMovedAndCreated, false},
        {Before::kMovedAndOtherText, false},
        {Before::kLeft, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(static_cast<int>(test.before) * 2 + test.partial_line);
        const fs::path path = directory_ / "run.log";
        const fs::path moved = directory_ / "run.log.moved";
        fs::remove(path);
        fs::remove(moved);
        std::string console;
        {
            Log log(4, nullptr);
            log.capture_to(&console);
            ASSERT_TRUE(log.open(path.string()));
            log.write(LogLevel::kProgress, "before\n");
            if (test.partial_line) log.write(LogLevel::kProgress, "begun ");
            log.flush();
            if (test.before != Before::kLeft) fs::rename(path, moved);
            if (test.before == Before::kMovedAndCreated) std::ofstream(path.string()).flush();
            if (test.before == Before::kMovedAndOtherText) std::ofstream(path.string()) << "kept\n";
            ASSERT_EQ(std::raise(SIGUSR1), 0);
            log.write(LogLevel::kProgress, "after\n");
            log.flush();
            // The request was taken: the next flush reopens nothing.
            log.write(LogLevel::kProgress, "later\n");
            log.flush();
            // The reopened file is locked as the first one was.
            LockedOpenResult result;
            EXPECT_EQ(open_locked_for_writing(path.string(), "w", result), nullptr);
            EXPECT_EQ(result, LockedOpenResult::kInUse);
            log.close();
        }
        const std::string begun = test.partial_line ? "begun " : "";
        EXPECT_EQ(console, "before\n" + begun + "after\nlater\n");
        const std::string reopened = "Log file reopened on SIGUSR1, " + kDate + "\n";
        const std::string rest = reopened + begun + "after\nlater\n" + kFooter;
        std::string expected;
        switch (test.before) {
            case Before::kMovedAway:
            case Before::kMovedAndCreated:
                expected = header_pattern(path) + rest;
                break;
            case Before::kMovedAndOtherText:
                expected = "kept\n" + rest;
                break;
            case Before::kLeft:
                expected = header_pattern(path) + "before\n" + rest;
                break;
        }
        const std::string text = file_text(path);
        EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
        if (test.before != Before::kLeft) {
            EXPECT_TRUE(
                std::regex_match(file_text(moved), std::regex(header_pattern(path) + "before\n")))
                << file_text(moved);
        }
    }
}

// Without a log file SIGUSR1 does nothing; a size limit and a reopening
// work together (the reopened file is capped too).
TEST_F(LogRoutingTest, ReopenWithoutFileAndWithLimit) {
    install_log_reopen_signal();
    {
        std::string console;
        Log log(4, nullptr);
        log.capture_to(&console);
        ASSERT_EQ(std::raise(SIGUSR1), 0);
        log.write(LogLevel::kProgress, "console only\n");
        log.flush();
        EXPECT_EQ(console, "console only\n");
        EXPECT_FALSE(log.is_open());
    }
    const fs::path path = directory_ / "both.log";
    const std::vector<std::string> messages = numbered_messages(1000, 100);
    {
        Log log(4, nullptr);
        ASSERT_TRUE(log.open(path.string()));
        log.set_max_size(64 * 1024);
        for (size_t index = 0; index < messages.size(); ++index) {
            if (index == 100) {
                log.flush();
                fs::rename(path, directory_ / "both.log.moved");
                ASSERT_EQ(std::raise(SIGUSR1), 0);
            }
            log.write(LogLevel::kProgress, "%s", messages[index].c_str());
        }
        log.close();
    }
    const std::string moved = file_text(directory_ / "both.log.moved");
    const std::string older = file_text(directory_ / "both.log.1");
    const std::string newest = file_text(path);
    EXPECT_LE(older.size(), 64u * 1024);
    EXPECT_LE(newest.size(), 64u * 1024);
    // Every message once, in order, over the three files.
    std::string kept;
    for (const std::string& text : {moved, older, newest})
        for (const std::string& line : lines_of(text))
            if (line.starts_with("message #")) kept += line + "\n";
    EXPECT_EQ(kept, joined(messages));
    EXPECT_NE(older.find("Log file reopened on SIGUSR1"), std::string::npos);
}

}  // namespace
}  // namespace terramod
