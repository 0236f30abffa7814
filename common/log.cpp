#include "common/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// The first line of a log file (the time carries its own line feed, so an
// empty line follows).
std::string header_text(const std::string& path, std::time_t now) {
    return "Log file for terramod ==> " + path + " , " + calendar_text(now) + "\n\n";
}

bool is_regular_file(std::FILE* file) {
    struct stat status {};
    return ::fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

// The bytes of text[from, from + count) up to and with its last line feed.
size_t whole_lines(const std::string& text, size_t from, size_t count) {
    if (count == 0) return 0;
    const size_t end = text.rfind('\n', from + count - 1);
    return end == std::string::npos || end < from ? 0 : end + 1 - from;
}

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
    pending_ = header_text(path, now);
    file_bytes_ = fresh_bytes_ = 0;
    regular_file_ = is_regular_file(file_);
    rotation_stopped_ = false;
    return true;
}

void Log::close() {
    take_reopen_request();
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
    take_reopen_request();
    if (!file_) return;
    last_file_write_ = std::chrono::steady_clock::now();
    const size_t line_end = pending_.rfind('\n');
    if (line_end != std::string::npos) write_pending(line_end + 1);
}

void Log::write_pending(size_t count) {
    if (count == 0) return;
    const std::string text = pending_.substr(0, count);
    pending_.erase(0, count);
    size_t done = 0;
    while (rotation_due(count - done)) {
        // The whole lines that still fit, then a new file for the rest; a
        // new file takes what is too long for it all the same.
        const size_t room = max_size_ > file_bytes_ ? max_size_ - file_bytes_ : 0;
        const size_t fit = whole_lines(text, done, std::min<uint64_t>(room, count - done));
        if (fit == 0 && file_bytes_ <= fresh_bytes_) break;
        if (!put(text, done, fit)) return;
        done += fit;
        if (!rotate()) break;
    }
    if (file_ && put(text, done, count - done)) set_signal_log(fileno(file_), text.back() != '\n');
}

bool Log::put(const std::string& text, size_t from, size_t count) {
    if (!file_) return false;
    if (count == 0) return true;
    const bool written =
        std::fwrite(text.data() + from, 1, count, file_) == count && std::fflush(file_) == 0;
    check_file_write(written);
    if (!file_) return false;
    file_bytes_ += count;
    return true;
}

bool Log::rotation_due(size_t count) const {
    return file_ && max_size_ > 0 && regular_file_ && !rotation_stopped_ &&
           file_bytes_ + count > max_size_;
}

bool Log::rotate() {
    const std::string older = path_ + ".1";
    // Another run writing NAME.1 keeps it; the lock of the open file goes
    // with it under its new name, and NAME is created and locked anew.
    if (locked_by_another(older)) {
        stop_rotation("\"" + older + "\" is in use by another run");
        return false;
    }
    if (std::rename(path_.c_str(), older.c_str()) != 0) {
        stop_rotation("can't rename it to \"" + older + "\": " + std::strerror(errno));
        return false;
    }
    LockedOpenResult result;
    std::FILE* file = open_locked_for_writing(path_, "w", result);
    if (!file) {
        stop_rotation(result == LockedOpenResult::kInUse
                          ? "a new one is in use by another run: writing on to \"" + older + "\""
                          : "can't create a new one: writing on to \"" + older + "\"");
        return false;
    }
    switch_to(file, 0);
    if (!put(header_text(path_, std::time(nullptr)) + "This log continues " + older + "\n"))
        return false;
    fresh_bytes_ = file_bytes_;
    return true;
}

void Log::stop_rotation(const std::string& reason) {
    rotation_stopped_ = true;
    console_warning("WARNING: log file \"" + path_ + "\" not limited in size any more (" + reason +
                    ")\n");
}

void Log::switch_to(std::FILE* file, uint64_t size) {
    std::FILE* old = std::exchange(file_, file);
    // A second stop signal finishes the new file from now on.
    set_signal_log(fileno(file_), false);
    // Its text is written and flushed: only the close itself can fail now.
    if (std::fclose(old) != 0) {
        console_warning("WARNING: closing the log file \"" + path_ + "\" failed (" +
                        std::strerror(errno) + ")\n");
        write_failed_ = true;
    }
    file_bytes_ = fresh_bytes_ = size;
    regular_file_ = is_regular_file(file_);
}

void Log::take_reopen_request() {
    if (take_log_reopen_request() && file_) reopen();
}

void Log::reopen() {
    // The whole lines so far belong to the file as it was; a line begun
    // goes on in the reopened one.
    const size_t line_end = pending_.rfind('\n');
    if (line_end != std::string::npos) write_pending(line_end + 1);
    if (!file_) return;
    const std::time_t now = std::time(nullptr);
    struct stat named {};
    struct stat current {};
    const bool same = ::stat(path_.c_str(), &named) == 0 && ::fstat(fileno(file_), &current) == 0 &&
                      named.st_dev == current.st_dev && named.st_ino == current.st_ino;
    if (!same) {
        LockedOpenResult result;
        uint64_t size = 0;
        std::FILE* file = open_locked_for_appending(path_, result, &size);
        if (!file) {
            console_warning(
                "WARNING: Can't reopen log file \"" + path_ + "\" (" +
                (result == LockedOpenResult::kInUse ? "in use by another run" : "can't create it") +
                ") -> logging on to the file it was\n");
            return;
        }
        switch_to(file, size);
        // A file created anew (or emptied by whoever moved the old one) starts
        // with the header.
        if (size == 0 && !put(header_text(path_, now))) return;
    }
    if (!put("Log file reopened on SIGUSR1, " + calendar_text(now) + "\n")) return;
    fresh_bytes_ = file_bytes_;
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
    console_warning("WARNING: Can't write to log file \"" + path_ +
                    "\" -> logging to console only\n");
}

void Log::console_warning(const std::string& text) {
    // Level 0, on the console only: the log file is what it is about.
    if (verbosity_ < 0) return;
    to_console(text);
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
    const bool on_console = static_cast<int>(level) <= console_limit_;
    if (holding_) {
        held_.append(text_);
        if (on_console) held_console_.append(text_);
        return;
    }
    print(text_, on_console);
    // Warnings and errors are seen at once, on a console that is a file or a
    // pipe (a service's journal) too.
    if (level <= LogLevel::kWarnings) flush();
}

void Log::release_held() {
    if (held_.empty()) return;
    take_reopen_request();
    to_console(held_console_);
    if (file_) queue_for_file(held_);
    discard_held();
}

void Log::print(const std::string& text, bool on_console) {
    take_reopen_request();
    // Console first, then the file, with identical content (but for the
    // messages above a console limit).
    if (on_console) to_console(text);
    if (file_) queue_for_file(text);
}

void Log::set_console_line(std::function<void()> clear, std::function<void()> redraw) {
    clear_console_line_ = std::move(clear);
    redraw_console_line_ = std::move(redraw);
}

void Log::to_console(const std::string& text) {
    if (text.empty()) return;
    if (clear_console_line_ && !console_line_open_) clear_console_line_();
    if (console_) std::fwrite(text.data(), 1, text.size(), console_);
    if (capture_) capture_->append(text);
    console_line_open_ = text.back() != '\n';
    if (redraw_console_line_ && !console_line_open_) redraw_console_line_();
}

}  // namespace terramod
