#include "io/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace terramod {

// "Can't find" is for a file that does not exist; any other reason (no
// permission, say) is named as the system gives it.
void report_open_error(const std::string& path, int error, Log& log) {
    if (error == ENOENT || error == ENOTDIR)
        log.fatal("Can't find \"%s\"\n", path.c_str());
    else
        log.fatal("Can't open \"%s\": %s\n", path.c_str(), std::strerror(error));
}

std::unique_ptr<FileSource> FileSource::open(const std::optional<std::string>& path, Log& log) {
    if (!path) {
        log.fatal(
            "no MPEG-2 file name given.\n"
            "Try -h for command line parameters help.\n");
        return nullptr;
    }
    // Non-blocking, so that a FIFO named as input cannot hang the open; the
    // flag is cleared again once the file is known to be a regular one.
    int descriptor = ::open(path->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        report_open_error(*path, errno, log);
        return nullptr;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        log.fatal("\"%s\" is not a regular file\n", path->c_str());
        return nullptr;
    }
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags != -1) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(descriptor, "rb");
    if (!file) {
        ::close(descriptor);
        log.fatal("Can't find \"%s\"\n", path->c_str());
        return nullptr;
    }

    log.write(LogLevel::kStages, "Checking MPEG-2 TS file length ... ");
    // The length is the size the file system records (the status of the very
    // file just opened), 64-bit so that inputs of 2 GiB and more are whole.
    const uint64_t length = static_cast<uint64_t>(status.st_size);
    log.write(LogLevel::kStages, "%" PRIu64 " bytes\n", length);
    return std::unique_ptr<FileSource>(
        new FileSource(file, *path, FileIdentity{status.st_dev, status.st_ino}, length, log));
}

FileSource::~FileSource() {
    std::fclose(file_);
}

size_t FileSource::read_packets(std::span<uint8_t> block) {
    if (failed_) return 0;
    const size_t obtained = std::fread(block.data(), 1, block.size(), file_);
    bytes_taken_ += obtained;
    if (obtained < block.size() && bytes_taken_ < length_) report_early_end();
    return obtained;
}

// A read error, or a file that shrank while it was read: the data it should
// have held is lost, which the run must not pass off as padding.
void FileSource::report_early_end() {
    failed_ = true;
    if (std::ferror(file_)) {
        log_.write(LogLevel::kErrors,
                   "WARNING: reading \"%s\" failed after %" PRIu64 " of the %" PRIu64
                   " bytes expected: %s -> the input ends here\n",
                   path_.c_str(), bytes_taken_, length_, std::strerror(errno));
    } else {
        log_.write(LogLevel::kErrors,
                   "WARNING: \"%s\" ended after %" PRIu64 " of the %" PRIu64
                   " bytes measured at the start -> the input ends here\n",
                   path_.c_str(), bytes_taken_, length_);
    }
}

bool FileSource::rewind() {
    if (failed_ || std::fseek(file_, 0, SEEK_SET) != 0) return false;
    std::clearerr(file_);
    bytes_taken_ = 0;  // each pass is measured against the length anew
    return true;
}

bool FileSource::has_more_input() {
    const int next = std::getc(file_);
    if (next == EOF) return false;
    std::ungetc(next, file_);
    return true;
}

}  // namespace terramod
