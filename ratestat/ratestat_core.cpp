#include "ratestat_core.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace ratestat {
namespace {

bool is_white_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::size_t skip_white_space(const std::string& text, std::size_t position) {
    while (position < text.size() && is_white_space(text[position])) ++position;
    return position;
}

// "%lf": skips white space, then takes the longest prefix that strtod accepts.
// The string's terminating NUL stops strtod at the end of the text.
std::optional<std::size_t> match_double(const std::string& text, std::size_t position,
                                        double& value) {
    const char* start = text.c_str() + position;
    char* end = nullptr;
    const double converted = std::strtod(start, &end);
    if (end == start) return std::nullopt;
    value = converted;
    return position + static_cast<std::size_t>(end - start);
}

}  // namespace

std::optional<std::size_t> match_speed_line(const std::string& text, std::size_t position,
                                            double& elapsed_seconds, double& speed_kbps) {
    double numbers[2] = {0.0, 0.0};
    int numbers_read = 0;
    for (const char* directive = speed_line_format; *directive != '\0'; ++directive) {
        if (is_white_space(*directive)) {
            position = skip_white_space(text, position);
        } else if (directive[0] == '%' && directive[1] == 'l' && directive[2] == 'f') {
            const auto after = match_double(text, position, numbers[numbers_read]);
            if (!after) return std::nullopt;
            ++numbers_read;
            position = *after;
            directive += 2;
        } else {
            if (position >= text.size() || text[position] != *directive) return std::nullopt;
            ++position;
        }
    }
    elapsed_seconds = numbers[0];
    speed_kbps = numbers[1];
    return position;
}

SpeedFileContents read_speed_lines(const std::string& text) {
    SpeedFileContents contents;
    SpeedStatistics& statistics = contents.statistics;
    std::size_t position = 0;
    std::int64_t line = 1;  // the line on which `position` stands
    while (position < text.size()) {
        double elapsed_seconds = 0.0;
        double speed_kbps = 0.0;
        const auto end = match_speed_line(text, position, elapsed_seconds, speed_kbps);
        if (!end) {
            contents.bad_line = line;
            return contents;
        }
        line += std::count(text.begin() + static_cast<std::ptrdiff_t>(position),
                           text.begin() + static_cast<std::ptrdiff_t>(*end), '\n');
        position = *end;
        statistics.speed_sum += speed_kbps;
        if (speed_kbps < statistics.minimum) statistics.minimum = speed_kbps;
        if (speed_kbps > statistics.maximum) statistics.maximum = speed_kbps;
        ++statistics.count;
    }
    return contents;
}

bool is_blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), is_white_space);
}

std::optional<double> parse_clock_mhz(const char* text) {
    const double clock_mhz = std::strtod(text, nullptr);
    if (!std::isfinite(clock_mhz) || !(clock_mhz > 0.0)) return std::nullopt;
    return clock_mhz;
}

double average_speed(const SpeedStatistics& statistics) {
    return statistics.speed_sum / static_cast<double>(statistics.count);
}

double wpp(const SpeedStatistics& statistics, double clock_mhz) {
    // The per-mille figure is held in a double before the division, as the
    // figure has always been computed.
    const double speed_sum_per_mille =
        statistics.speed_sum * 1000.0 / static_cast<double>(statistics.count);
    return speed_sum_per_mille / clock_mhz;
}

}  // namespace ratestat
