// The levelled run log: every message after parsing goes to the console and
// to the log file alike, when its level is at most the verbosity. The file's
// text is written in whole lines (a few kilobytes or half a second at a time,
// and whenever flush() is called: after each cycle and before a wait), so
// that a second stop signal, which ends the process at once, finds the file
// at a line's end and can append its last line.
//
// A paced run's cycle loop keeps the console for its status line: a console
// limit sends the messages above it to the file only, and a console line
// (the status line) is cleared before a message and drawn again after it.
// The file may be capped in size (renamed to NAME.1 and started anew), and
// is reopened by name after SIGUSR1 (common/stop_signals.h).
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace terramod {

// What a message is, and so the verbosity (-v) from which it is printed.
enum class LogLevel : int {
    kErrors = 0,    // fatal errors, file warnings, version and help
    kWarnings = 1,  // the speed line, stream warnings
    kProgress = 2,  // the parameter report, cycle and progress lines, selections
    kStages = 3,    // each stage's progress texts, input reading, file writes
    kMemory = 4,    // the cycle size and memory summary
};

class Log {
  public:
    // console may be null (nothing on the console); tests use that together
    // with capture_to().
    explicit Log(int verbosity = 4, std::FILE* console = stdout);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Creates or truncates the log file and writes its header line (to the
    // file only). Returns false, writing nothing, when the file cannot be
    // created. A file already open is closed first, without footer.
    bool open(const std::string& path);
    bool open(const std::string& path, std::time_t now);
    // Writes the footer and closes the file (normal end of a run only).
    void close();
    // Closes the file without a footer (fatal and help/version stops).
    void close_without_footer();

    void write(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // A fatal error: "FATAL ERROR: " and the message, at LogLevel::kErrors.
    void fatal(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes the file's pending whole lines now.
    void flush();
    void vwrite(LogLevel level, const char* format, std::va_list args);
    void vfatal(const char* format, std::va_list args);

    bool is_open() const { return file_ != nullptr; }
    // After a failed open: another run holds the log file's lock.
    bool in_use() const { return in_use_; }
    // True once a write to the log file (its header, a message, the footer or
    // the final flush) has failed. The first failure is reported on the
    // console, the file is closed, and the run goes on with the console only.
    bool had_write_failure() const { return write_failed_; }
    void set_verbosity(int verbosity) { verbosity_ = verbosity; }
    int verbosity() const { return verbosity_; }
    // Also appends every message printed on the console to *sink (tests).
    void capture_to(std::string* sink) { capture_ = sink; }

    // Messages above `level` go to the file only (the verbosity still
    // decides what is written at all); clear_console_limit() ends that.
    void set_console_limit(LogLevel level) { console_limit_ = static_cast<int>(level); }
    void clear_console_limit() { console_limit_ = kNoConsoleLimit; }
    // A line the console shows below the messages: `clear` is called before
    // a message reaches the console, `redraw` after it once the console is
    // at a line's start again. Empty functions: no such line.
    void set_console_line(std::function<void()> clear, std::function<void()> redraw);
    // False while a message without its line feed is the console's last text.
    bool console_at_line_start() const { return !console_line_open_; }

    // When a write would make the file longer than `bytes`, it is renamed to
    // its name + ".1" (replacing an older one) and a new file with its header
    // and a line naming the older one takes the text; 0: no limit (the
    // default). Only a regular file is capped.
    void set_max_size(uint64_t bytes) { max_size_ = bytes; }

    // Holding: while on, the messages that would be printed are kept, in
    // order, instead; release_held() prints them as one text. This lets a
    // run compute one cycle ahead and still print its messages after those
    // of the cycle before.
    void hold(bool on) { holding_ = on; }
    void release_held();
    void discard_held() {
        held_.clear();
        held_console_.clear();
    }

  private:
    static constexpr int kNoConsoleLimit = 1 << 30;

    // Checks the result of a write to the file; on failure drops the file
    // and reports the failure.
    void check_file_write(bool succeeded);
    // Appends to the file's pending text and writes the whole lines of it
    // when enough has gathered or enough time has passed.
    void queue_for_file(const std::string& text);
    // Writes the first `count` bytes of the pending text to the file,
    // starting a new file first where the size limit asks for it.
    void write_pending(size_t count);
    // Writes `text` to the file as it is; false when that failed (the file
    // is dropped then).
    bool put(const std::string& text, size_t from, size_t count);
    bool put(const std::string& text) { return put(text, 0, text.size()); }
    // Whether `count` more bytes take the file past its size limit.
    bool rotation_due(size_t count) const;
    // The current file renamed to NAME.1 and a new NAME started; false (the
    // limit given up, with a warning) when that cannot be done.
    bool rotate();
    void stop_rotation(const std::string& reason);
    // After SIGUSR1: the file reopened by name.
    void take_reopen_request();
    void reopen();
    // Starts writing to `file` (opened and locked) instead of the open one.
    void switch_to(std::FILE* file, uint64_t size);
    void drop_file();
    // The text to the console (and the capture), and to the file.
    void print(const std::string& text, bool on_console);
    // The console's part: the console line cleared before, drawn after.
    void to_console(const std::string& text);
    // A warning about the file, on the console only (level 0).
    void console_warning(const std::string& text);
    // The console warning, the first time only.
    void report_write_failure();

    int verbosity_;
    std::FILE* console_;
    std::FILE* file_ = nullptr;
    std::string* capture_ = nullptr;
    std::string path_;     // the open file's name, for the write warning
    std::string pending_;  // text for the file not yet written
    std::chrono::steady_clock::time_point last_file_write_;
    bool in_use_ = false;
    bool write_failed_ = false;
    std::string text_;  // formatting buffer, reused
    bool holding_ = false;
    std::string held_;          // for the file
    std::string held_console_;  // the part of it for the console
    int console_limit_ = kNoConsoleLimit;
    std::function<void()> clear_console_line_;
    std::function<void()> redraw_console_line_;
    bool console_line_open_ = false;
    uint64_t max_size_ = 0;     // 0: none
    uint64_t file_bytes_ = 0;   // the file's length
    uint64_t fresh_bytes_ = 0;  // its length when it was started or reopened
    bool regular_file_ = false;
    bool rotation_stopped_ = false;
};

// The 24-character local time of the log header, "Www Mmm dd hh:mm:ss yyyy",
// with English day and month names whatever the locale.
std::string calendar_text(std::time_t when);

}  // namespace terramod
