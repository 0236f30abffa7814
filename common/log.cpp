#include "common/log.h"

#include <utility>

#include "common/locked_file.h"
#include "common/stop_signals.h"

namespace terramod {

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The file's pending text is written once it holds this much, or when this
// long has passed since the last write.
constexpr size_t kPendingBytes = 16 * 1024;
constexpr auto kPendingTime = std::chrono::milliseconds(500);

}  // namespace

std::string calendar_text(std::time_t when) {
    std::tm local{};
    if (!localtime_r(&when, &local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11) {
        return "??? ??? ?? ??:??:?? ????";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d", kDayNames[local.tm_wday],
                  kMonthNames[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, local.tm_year + 1900);
    return text;
}

Log::Log(int verbosity, std::FILE* console) : verbosity_(verbosity), console_(console) {}

Log::~Log() {
    close_without_footer();
}

bool Log::open(const std::string& path) {
    return open(path, std::time(nullptr));
}

bool Log::open(const std::string& path, std::time_t now) {
    close_without_footer();
    LockedOpenResult result;
    std::FILE* file = open_locked_for_writing(path, "w", result);
    in_use_ = result == LockedOpenResult::kInUse;
    if (!file) return false;
    file_ = file;
    path_ = path;
    last_file_write_ = std::chrono::steady_clock::now();
    set_signal_log(fileno(file_), false);
    // The time carries its own line feed, so an empty line follows the header.
    pending_ = "Log file for terramod ==> " + path + " , " + calendar_text(now) + "\n\n";
    return true;
}

void Log::close() {
    if (!file_) return;
    pending_ += "________________________________________________\n\n";
    close_without_footer();
}

void Log::close_without_footer() {
    if (!file_) return;
    write_pending(pending_.size());
    if (!file_) return;
    set_signal_log(-1, false);
    std::FILE* file = std::exchange(file_, nullptr);
    // Buffered text reaches the file here: a failure is a failed write.
    if (std::fclose(file) != 0) report_write_failure();
}

void Log::queue_for_file(const std::string& text) {
    pending_ += text;
    const auto now = std::chrono::steady_clock::now();
    if (pending_.size() < kPendingBytes && now - last_file_write_ < kPendingTime) return;
    // A line longer than the limit goes out unfinished.
    if (pending_.rfind('\n') == std::string::npos && pending_.size() >= kPendingBytes)
        write_pending(pending_.size());
    else
        flush();
}

void Log::flush() {
    if (console_) std::fflush(console_);
    if (!file_) return;
    last_file_write_ = std::chrono::steady_clock::now();
    const size_t line_end = pending_.rfind('\n');
    if (line_end != std::string::npos) write_pending(line_end + 1);
}

void Log::write_pending(size_t count) {
    if (count == 0) return;
    const bool written =
        std::fwrite(pending_.data(), 1, count, file_) == count && std::fflush(file_) == 0;
    const bool line_open = pending_[count - 1] != '\n';
    pending_.erase(0, count);
    check_file_write(written);
    if (file_) set_signal_log(fileno(file_), line_open);
}

void Log::check_file_write(bool succeeded) {
    if (succeeded && !std::ferror(file_)) return;
    // Text after a lost piece would make a log with a hole in it: the file is
    // dropped (the result of closing it adds nothing now).
    drop_file();
    report_write_failure();
}

void Log::drop_file() {
    set_signal_log(-1, false);
    pending_.clear();
    std::fclose(std::exchange(file_, nullptr));
}

void Log::report_write_failure() {
    if (write_failed_) return;
    write_failed_ = true;
    // Level 0, on the console only: the log file is what failed.
    if (verbosity_ < 0) return;
    const std::string warning =
        "WARNING: Can't write to log file \"" + path_ + "\" -> logging to console only\n";
    if (console_) std::fputs(warning.c_str(), console_);
    if (capture_) capture_->append(warning);
}

void Log::fatal(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    vfatal(format, args);
    va_end(args);
}

void Log::vfatal(const char* format, std::va_list args) {
    vwrite(LogLevel::kErrors, ("FATAL ERROR: " + std::string(format)).c_str(), args);
}

void Log::write(LogLevel level, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    vwrite(level, format, args);
    va_end(args);
}

void Log::vwrite(LogLevel level, const char* format, std::va_list args) {
    if (static_cast<int>(level) > verbosity_) return;
    std::va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return;
    text_.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text_.data(), text_.size(), format, args);
    text_.resize(static_cast<size_t>(length));
    if (holding_) {
        held_.append(text_);
        return;
    }
    print(text_);
    // Warnings and errors are seen at once, on a console that is a file or a
    // pipe (a service's journal) too.
    if (level <= LogLevel::kWarnings) flush();
}

void Log::release_held() {
    if (held_.empty()) return;
    print(held_);
    held_.clear();
}

void Log::print(const std::string& text) {
    // Console first, then the file, with identical content.
    if (console_) std::fwrite(text.data(), 1, text.size(), console_);
    if (capture_) capture_->append(text);
    if (file_) queue_for_file(text);
}

}  // namespace terramod
