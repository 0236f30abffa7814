// Reading the speed lines that terramod writes at the end of its runs, and
// the figures ratestat derives from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ratestat {

// The format of one speed line, read the way scanf reads it: every white-space
// character matches any run of white space, including none; "%lf" skips white
// space and then takes a decimal floating-point number.
inline constexpr const char* speed_line_format = "Elapsed time = %lf s. Approx. %lf kbps.\n";

struct SpeedStatistics {
    std::int64_t count = 0;
    double speed_sum = 0.0;
    double minimum = 10000000000.0;  // 10^10: reported as is when no speed is lower
    double maximum = 0.0;            // reported as is when no speed is higher
};

struct SpeedFileContents {
    SpeedStatistics statistics;
    // 0 when every record is a speed line; otherwise the 1-based number of the
    // line on which the first record that is not a speed line begins.
    std::int64_t bad_line = 0;
};

// Matches one speed line at `position` in `text`. On success returns the
// position just past it (its final white-space directive included) and stores
// the two numbers; otherwise returns nothing and leaves them alone.
std::optional<std::size_t> match_speed_line(const std::string& text, std::size_t position,
                                            double& elapsed_seconds, double& speed_kbps);

// Reads every speed line of `text`, which must begin with the first one.
SpeedFileContents read_speed_lines(const std::string& text);

// True when `text` holds nothing but white space (or nothing at all).
bool is_blank(const std::string& text);

// The clock frequency in MHz, converted like atof (leading white space
// skipped, conversion stops at the first character that cannot continue the
// number). Nothing when the result is not a finite number above 0, as the
// frequency is a divisor.
std::optional<double> parse_clock_mhz(const char* text);

double average_speed(const SpeedStatistics& statistics);

// WPP: the average speed × 1000 ÷ the clock frequency in MHz.
double wpp(const SpeedStatistics& statistics, double clock_mhz);

}  // namespace ratestat
