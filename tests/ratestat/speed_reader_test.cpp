// ratestat's reader on texts in memory: it reads through a window of bounded
// size, so results must not depend on where the window's refills fall or on
// how the source splits its reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ratestat/ratestat_core.h"

namespace ratestat {
namespace {

// Hands the text out in pieces of 1 to 7 bytes, and can fail after a given
// number of bytes, as a file read can.
class ChoppyTextSource : public TextSource {
  public:
    explicit ChoppyTextSource(std::string text, std::size_t fail_after = std::string::npos)
        : text_(std::move(text)), fail_after_(fail_after) {}

    std::size_t read(char* buffer, std::size_t capacity) override {
        if (failed_) return 0;
        if (position_ >= fail_after_) {
            failed_ = true;
            return 0;
        }
        std::size_t count = std::min(
            {capacity, text_.size() - position_, 1 + position_ % 7, fail_after_ - position_});
        std::copy_n(text_.data() + position_, count, buffer);
        position_ += count;
        return count;
    }
    bool failed() const override { return failed_; }

  private:
    std::string text_;
    std::size_t fail_after_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

std::string speed_line(double elapsed, double speed) {
    char line[128];
    std::snprintf(line, sizeof line, "Elapsed time = %.3f s. Approx. %.3f kbps.\n", elapsed, speed);
    return line;
}

constexpr std::size_t kSmallLookaheads[] = {16, 17, 23, 64, 4096};

TEST(SpeedReader, FiguresOfAGeneratedFileWhateverTheWindowAndTheReads) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> milli_kbps(1, 900000000);
    const std::vector<std::string> separators = {"", "\n", "\r\n", "\n\n  \t\n", " "};
    std::string text;
    double sum = 0.0;
    double minimum = std::numeric_limits<double>::infinity();
    double maximum = 0.0;
    const int line_count = 3000;
    for (int line = 0; line < line_count; ++line) {
        // The speed as printed with three decimals is the speed read back.
        const double speed = milli_kbps(random) / 1000.0;
        char printed[64];
        std::snprintf(printed, sizeof printed, "%.3f", speed);
        const double read_back = std::strtod(printed, nullptr);
        sum += read_back;
        minimum = std::min(minimum, read_back);
        maximum = std::max(maximum, read_back);
        text += speed_line(0.5, speed) + separators[line % separators.size()];
    }
    for (std::size_t lookahead : kSmallLookaheads) {
        ChoppyTextSource source(text);
        const SpeedFileContents contents = read_speed_lines(source, lookahead);
        EXPECT_FALSE(contents.read_failed);
        EXPECT_FALSE(contents.blank);
        EXPECT_EQ(contents.bad_line, 0) << lookahead;
        EXPECT_EQ(contents.statistics.count, line_count) << lookahead;
        EXPECT_EQ(contents.statistics.speed_sum, sum) << lookahead;
        EXPECT_EQ(contents.statistics.minimum, minimum) << lookahead;
        EXPECT_EQ(contents.statistics.maximum, maximum) << lookahead;
    }
}

TEST(SpeedReader, BadLineNumberAndBlankTextsWhateverTheWindow) {
    const std::string good = speed_line(2.5, 1000);
    std::string many_good;
    for (int line = 0; line < 999; ++line) many_good += good;
    struct Case {
        std::string text;
        std::int64_t bad_line;
        bool blank;
    };
    const std::vector<Case> cases = {
        {"", 0, true},
        {" \n\n\t\r\n", 0, true},
        {std::string(5000, '\n'), 0, true},
        {std::string(5000, '\n') + good, 1, false},
        {many_good + "garbage\n", 1000, false},
        {many_good + "\n\n\n# comment\n", 1003, false},
        // White space longer than any window, inside and between lines.
        {"Elapsed time =" + std::string(10000, ' ') + "2.5 s. Approx. 1 kbps." +
             std::string(10000, '\n') + "Elapsed time = 1 s. Approx. x kbps.",
         10001, false},
        // A record that is cut short at the end of the text.
        {good + "Elapsed time = 1.000 s. Approx. 5", 2, false},
    };
    for (const Case& expected : cases) {
        for (std::size_t lookahead : kSmallLookaheads) {
            ChoppyTextSource source(expected.text);
            const SpeedFileContents contents = read_speed_lines(source, lookahead);
            EXPECT_EQ(contents.bad_line, expected.bad_line) << lookahead << expected.text;
            EXPECT_EQ(contents.blank, expected.blank) << lookahead << expected.text;
        }
    }
}

TEST(SpeedReader, NumberLongerThanTheWindowIsNotASpeedLine) {
    const std::string long_number = "1" + std::string(40, '0');
    const std::string text =
        speed_line(1, 5) + "Elapsed time = 1 s. Approx. " + long_number + " kbps.\n";
    ChoppyTextSource narrow(text);
    EXPECT_EQ(read_speed_lines(narrow, 32).bad_line, 2);
    // Within the window it is a number like any other.
    const SpeedFileContents wide = read_speed_lines(text);
    EXPECT_EQ(wide.bad_line, 0);
    EXPECT_EQ(wide.statistics.maximum, 1e40);
}

TEST(SpeedReader, ReadErrorVoidsTheFigures) {
    std::string text;
    for (int line = 0; line < 100; ++line) text += speed_line(1, 100 + line);
    for (std::size_t fail_after :
         {std::size_t{0}, std::size_t{1}, std::size_t{60}, text.size() / 2, text.size() - 1}) {
        ChoppyTextSource source(text, fail_after);
        const SpeedFileContents contents = read_speed_lines(source, 64);
        EXPECT_TRUE(contents.read_failed) << fail_after;
        EXPECT_EQ(contents.statistics.count, 0) << fail_after;
        EXPECT_EQ(contents.bad_line, 0) << fail_after;
    }
}

}  // namespace
}  // namespace ratestat
