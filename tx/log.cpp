#include "tx/log.h"

#include <ctime>

namespace terramod {

Log::Log(int verbosity, std::FILE* console) : verbosity_(verbosity), console_(console) {}

Log::~Log() { close_without_footer(); }

bool Log::open(const std::string& path) {
    std::time_t now = std::time(nullptr);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    file_ = file;
    // The 24-character calendar form (day of the month with a leading zero)
    // followed by its own line feed, so the header is followed by an empty line.
    char stamp[32] = "";
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%a %b %d %H:%M:%S %Y\n", &local);
    std::fprintf(file_, "Log file for terramod ==> %s , %s\n", path.c_str(), stamp);
    return true;
}

void Log::close() {
    if (!file_) return;
    std::fputs("________________________________________________\n\n", file_);
    close_without_footer();
}

void Log::close_without_footer() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void Log::write(int level, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    vwrite(level, format, args);
    va_end(args);
}

void Log::vwrite(int level, const char* format, std::va_list args) {
    if (level > verbosity_) return;
    std::va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return;
    text_.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text_.data(), text_.size(), format, args);
    text_.resize(static_cast<size_t>(length));
    if (console_) std::fwrite(text_.data(), 1, text_.size(), console_);
    if (file_) std::fwrite(text_.data(), 1, text_.size(), file_);
    if (capture_) capture_->append(text_);
}

}  // namespace terramod
