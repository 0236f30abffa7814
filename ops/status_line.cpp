#include "ops/status_line.h"

#include <cinttypes>
#include <cmath>
#include <utility>

namespace terramod {

namespace {

// "\r" goes to the line's start, CSI K erases from there to its end.
constexpr const char* kLineStart = "\r";
constexpr const char* kEraseToEnd = "\x1b[K";

std::string unsigned_text(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    return text;
}

}  // namespace

std::string hours_minutes_seconds(double seconds) {
    // Beyond about 31,000 years the count is kept at that.
    constexpr double kLargest = 1e12;
    const double whole = std::isfinite(seconds) && seconds > 0 ? std::floor(seconds) : 0;
    const auto total = static_cast<uint64_t>(std::fmin(whole, kLargest));
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", total / 3600,
                  static_cast<unsigned>(total / 60 % 60), static_cast<unsigned>(total % 60));
    return text;
}

std::string status_text(const MetricValues& values, bool live_input) {
    char number[48];
    std::string text = "in ";
    if (std::isfinite(values.input_rate_bps) && values.input_rate_bps > 0) {
        std::snprintf(number, sizeof number, "%.2f", values.input_rate_bps / 1e6);
        text += number;
    } else {
        text += "-";  // not measured yet
    }
    text += " Mbit/s";
    if (live_input) {
        const double milliseconds = values.buffer_seconds * 1000;
        std::snprintf(number, sizeof number, "%.0f",
                      std::isfinite(milliseconds) && milliseconds > 0 ? milliseconds : 0.0);
        text.append(" | buffer ").append(number).append(" ms");
    }
    text.append(" | out ").append(hours_minutes_seconds(values.output_seconds));
    text.append(" | underflows ").append(unsigned_text(values.underflows));
    text.append(" | TS loss ").append(unsigned_text(values.ts_loss_events));
    if (values.ts_loss) text += " (now)";
    text.append(" | clipped ").append(unsigned_text(values.clipped_samples));
    return text;
}

StatusLine::StatusLine(std::FILE* console, StatusLineOptions options, Now now)
    : console_(console), options_(options), now_(std::move(now)) {}

bool StatusLine::update(const MetricValues& values) {
    const Clock::time_point now = now_();
    if (next_due_ && now < *next_due_) return false;
    // Showings keep to the interval's steps; after a long pause (a stalled
    // input) the steps start again from now.
    next_due_ = next_due_ ? *next_due_ + options_.interval : now + options_.interval;
    if (*next_due_ <= now) next_due_ = now + options_.interval;
    show(status_text(values, options_.live_input));
    return true;
}

void StatusLine::clear() {
    if (!options_.terminal || !drawn_) return;
    write(std::string(kLineStart) + kEraseToEnd);
    drawn_ = false;
}

void StatusLine::redraw() {
    if (!options_.terminal || drawn_ || shown_.empty()) return;
    write(kLineStart + shown_ + kEraseToEnd);
    drawn_ = true;
}

void StatusLine::finish(const MetricValues& values) {
    if (shown_.empty()) return;
    show(status_text(values, options_.live_input));
    if (options_.terminal) write("\n");
    drawn_ = false;
    shown_.clear();
}

void StatusLine::show(const std::string& text) {
    shown_ = text;
    if (options_.terminal) {
        write(kLineStart + text + kEraseToEnd);
        drawn_ = true;
    } else {
        write(text + "\n");
    }
}

void StatusLine::write(const std::string& text) {
    if (!console_) return;
    // Console write errors are ignored, as the log's are (a reader of a pipe
    // may go away).
    std::fwrite(text.data(), 1, text.size(), console_);
    std::fflush(console_);
}

}  // namespace terramod
