#include "ratestat_core.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ratestat {
namespace {

bool is_white_space(int c) {
    return c >= 0 && std::isspace(c) != 0;
}

// Reads the text front to back through a buffer of fixed size, keeping up to
// `lookahead` bytes ahead of the reading position, and counts the lines it
// passes.
class LookaheadReader {
  public:
    LookaheadReader(TextSource& source, std::size_t lookahead)
        : source_(source),
          lookahead_(std::max<std::size_t>(lookahead, 1)),
          // Room for twice the lookahead, so that every refill reads at least
          // a lookahead's worth, and for the NUL that ends a number's text.
          buffer_(2 * lookahead_ + 1) {}

    // The next byte (0 to 255), or -1 at the end of the text.
    int peek() {
        make_available(1);
        return position_ < end_ ? static_cast<unsigned char>(buffer_[position_]) : -1;
    }

    void skip_white_space() {
        while (is_white_space(peek())) advance(1);
    }

    // "%lf": skips white space, then takes the longest prefix that strtod
    // accepts. A number that may run on past the lookahead is refused.
    std::optional<double> take_number() {
        skip_white_space();
        make_available(lookahead_);
        const std::size_t available = end_ - position_;
        buffer_[end_] = '\0';
        const char* start = buffer_.data() + position_;
        char* end = nullptr;
        const double value = std::strtod(start, &end);
        const auto length = static_cast<std::size_t>(end - start);
        if (length == 0 || (length == available && !source_ended_)) return std::nullopt;
        advance(length);
        return value;
    }

    void advance(std::size_t count) {
        const char* start = buffer_.data() + position_;
        line_ += std::count(start, start + count, '\n');
        position_ += count;
    }

    // The 1-based number of the line on which the reading position stands.
    std::int64_t line() const { return line_; }
    bool failed() const { return source_.failed(); }

  private:
    // Makes at least `count` bytes (at most the lookahead) available from the
    // reading position, unless the text ends first.
    void make_available(std::size_t count) {
        if (end_ - position_ >= count || source_ended_) return;
        std::memmove(buffer_.data(), buffer_.data() + position_, end_ - position_);
        end_ -= position_;
        position_ = 0;
        const std::size_t capacity = buffer_.size() - 1;
        while (end_ < count && !source_ended_) {
            const std::size_t read = source_.read(buffer_.data() + end_, capacity - end_);
            if (read == 0) source_ended_ = true;
            end_ += read;
        }
    }

    TextSource& source_;
    std::size_t lookahead_;
    std::vector<char> buffer_;
    std::size_t position_ = 0;  // the reading position in buffer_
    std::size_t end_ = 0;       // the end of the bytes read into buffer_
    bool source_ended_ = false;
    std::int64_t line_ = 1;
};

// Matches one speed line at the reading position, its final white-space
// directive included. On failure the reader stands somewhere inside the record.
bool match_speed_line(LookaheadReader& reader, double& elapsed_seconds, double& speed_kbps) {
    double numbers[2] = {0.0, 0.0};
    int numbers_read = 0;
    for (const char* directive = speed_line_format; *directive != '\0'; ++directive) {
        if (is_white_space(static_cast<unsigned char>(*directive))) {
            reader.skip_white_space();
        } else if (directive[0] == '%' && directive[1] == 'l' && directive[2] == 'f') {
            const std::optional<double> number = reader.take_number();
            if (!number) return false;
            numbers[numbers_read++] = *number;
            directive += 2;
        } else {
            if (reader.peek() != static_cast<unsigned char>(*directive)) return false;
            reader.advance(1);
        }
    }
    elapsed_seconds = numbers[0];
    speed_kbps = numbers[1];
    return true;
}

// A speed is a finite number without a minus sign: NaN, infinities and
// negative figures come from no run.
bool is_speed(double speed_kbps) {
    return std::isfinite(speed_kbps) && !std::signbit(speed_kbps);
}

void add_speed(SpeedStatistics& statistics, double speed_kbps) {
    statistics.speed_sum += speed_kbps;
    if (statistics.count == 0 || speed_kbps < statistics.minimum) statistics.minimum = speed_kbps;
    if (statistics.count == 0 || speed_kbps > statistics.maximum) statistics.maximum = speed_kbps;
    ++statistics.count;
}

void read_records(LookaheadReader& reader, SpeedFileContents& contents) {
    // Nothing skips white space before the first line: a text that begins
    // with white space is blank or its first line is not a speed line.
    if (is_white_space(reader.peek())) {
        reader.skip_white_space();
        if (reader.peek() < 0) {
            contents.blank = true;
        } else {
            contents.bad_line = 1;
        }
        return;
    }
    if (reader.peek() < 0) {
        contents.blank = true;
        return;
    }
    while (reader.peek() >= 0) {
        const std::int64_t record_line = reader.line();
        double elapsed_seconds = 0.0;
        double speed_kbps = 0.0;
        if (!match_speed_line(reader, elapsed_seconds, speed_kbps) || !is_speed(speed_kbps)) {
            contents.bad_line = record_line;
            return;
        }
        add_speed(contents.statistics, speed_kbps);
    }
}

}  // namespace

std::size_t FileTextSource::read(char* buffer, std::size_t capacity) {
    return std::fread(buffer, 1, capacity, file_);
}

bool FileTextSource::failed() const {
    return std::ferror(file_) != 0;
}

std::size_t StringTextSource::read(char* buffer, std::size_t capacity) {
    const std::size_t count = std::min(capacity, text_.size());
    std::memcpy(buffer, text_.data(), count);
    text_.remove_prefix(count);
    return count;
}

SpeedFileContents read_speed_lines(TextSource& source, std::size_t lookahead) {
    SpeedFileContents contents;
    LookaheadReader reader(source, lookahead);
    read_records(reader, contents);
    // A read error cuts the text short: whatever was concluded from the part
    // read is void.
    if (reader.failed()) {
        contents = SpeedFileContents{};
        contents.read_failed = true;
    }
    return contents;
}

SpeedFileContents read_speed_lines(std::string_view text) {
    StringTextSource source(text);
    return read_speed_lines(source);
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
