// Reading the speed lines that terramod writes at the end of its runs, and
// the figures ratestat derives from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace ratestat {

// The format of one speed line, read the way scanf reads it: every white-space
// character matches any run of white space, including none; "%lf" skips white
// space and then takes a decimal floating-point number.
inline constexpr const char* speed_line_format = "Elapsed time = %lf s. Approx. %lf kbps.\n";

struct SpeedStatistics {
    std::int64_t count = 0;
    double speed_sum = 0.0;
    double minimum = 0.0;  // both set by the first speed
    double maximum = 0.0;
};

struct SpeedFileContents {
    SpeedStatistics statistics;
    // 0 when every record is a speed line; otherwise the 1-based number of the
    // line on which the first record that is not a speed line begins. A record
    // whose speed is NaN, infinite or negative is not a speed line.
    std::int64_t bad_line = 0;
    // The text holds nothing but white space (or nothing at all).
    bool blank = false;
    // A read error ended the text early; the other fields then mean nothing.
    bool read_failed = false;
};

// Where the text comes from, read front to back once.
class TextSource {
  public:
    virtual ~TextSource() = default;
    // Copies the next bytes, at most `capacity`, into `buffer` and returns how
    // many; 0 at the end of the text or after a read error.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
    // True once a read error has ended the text.
    virtual bool failed() const { return false; }
};

// The text of an open file.
class FileTextSource : public TextSource {
  public:
    explicit FileTextSource(std::FILE* file) : file_(file) {}
    std::size_t read(char* buffer, std::size_t capacity) override;
    bool failed() const override;

  private:
    std::FILE* file_;
};

// A text held in memory (tests, fuzzing).
class StringTextSource : public TextSource {
  public:
    explicit StringTextSource(std::string_view text) : text_(text) {}
    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    std::string_view text_;
};

// How far ahead of the reading position the reader keeps text in memory: the
// longest number it can read. A longer number (never written by terramod)
// makes its record not a speed line. Memory use is a small multiple of this,
// whatever the size of the file.
inline constexpr std::size_t default_lookahead = 65536;

// Reads every speed line of the text, which must begin with the first one, in
// one pass and in memory bounded by `lookahead`. Stops at the first record
// that is not a speed line.
SpeedFileContents read_speed_lines(TextSource& source, std::size_t lookahead = default_lookahead);
SpeedFileContents read_speed_lines(std::string_view text);

// The clock frequency in MHz, converted like atof (leading white space
// skipped, conversion stops at the first character that cannot continue the
// number). Nothing when the result is not a finite number above 0, as the
// frequency is a divisor.
std::optional<double> parse_clock_mhz(const char* text);

double average_speed(const SpeedStatistics& statistics);

// WPP: the average speed × 1000 ÷ the clock frequency in MHz.
double wpp(const SpeedStatistics& statistics, double clock_mhz);

}  // namespace ratestat
