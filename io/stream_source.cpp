#include "io/stream_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "dvbt/dvbt.h"
#include "io/file_source.h"

namespace terramod {

namespace {

constexpr const char* kStandardInputName = "-";
// Sync bytes in a row, at packet pitch, that mark the first packet.
constexpr size_t kSyncRun = 5;
// Look-ahead that holds a candidate sync byte and the four after it.
constexpr size_t kSyncWindow = (kSyncRun - 1) * kPacketLength + 1;
// Bytes asked of the input at a time while searching or peeking.
constexpr size_t kReadChunk = 64 * 1024;
// A wait for input is cut into slices this long, for the idle task and the
// stall warning.
constexpr int kWaitSliceMs = 250;

bool is_stream_type(mode_t mode) {
    return S_ISFIFO(mode) || S_ISCHR(mode);
}

}  // namespace

bool StreamSource::names_stream(const std::string& path) {
    if (path == kStandardInputName) return true;
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && is_stream_type(status.st_mode);
}

std::unique_ptr<StreamSource> StreamSource::open(const std::string& path, Log& log,
                                                 int wake_descriptor) {
    if (path == kStandardInputName) {
        struct stat status {};
        if (::fstat(STDIN_FILENO, &status) != 0) {
            log.fatal("standard input is not open\n");
            return nullptr;
        }
        return std::unique_ptr<StreamSource>(
            new StreamSource(STDIN_FILENO, false, "standard input",
                             FileIdentity{status.st_dev, status.st_ino}, log, wake_descriptor));
    }
    // Non-blocking: opening a FIFO for reading would otherwise wait for its
    // writer. Reads poll for data, so the flag stays.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        report_open_error(path, errno, log);
        return nullptr;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !is_stream_type(status.st_mode)) {
        ::close(descriptor);
        log.fatal("\"%s\" is not a regular file\n", path.c_str());
        return nullptr;
    }
    return std::unique_ptr<StreamSource>(
        new StreamSource(descriptor, true, "\"" + path + "\"",
                         FileIdentity{status.st_dev, status.st_ino}, log, wake_descriptor));
}

std::unique_ptr<StreamSource> StreamSource::over_descriptor(int descriptor, std::string name,
                                                            Log& log, int wake_descriptor) {
    struct stat status {};
    FileIdentity identity;
    if (::fstat(descriptor, &status) == 0) identity = FileIdentity{status.st_dev, status.st_ino};
    return std::unique_ptr<StreamSource>(
        new StreamSource(descriptor, false, std::move(name), identity, log, wake_descriptor));
}

StreamSource::~StreamSource() {
    if (owned_) ::close(descriptor_);
}

bool StreamSource::wait_for_input() {
    const Clock::time_point wait_start = Clock::now();
    for (int slice = 0;; ++slice) {
        // Waiting in poll rather than in read: a FIFO opened before its writer
        // reads as ended until the writer comes, but polls as not ready.
        pollfd ready[2] = {{descriptor_, POLLIN, 0}, {wake_descriptor_, POLLIN, 0}};
        // A first look without waiting; the log is brought up to date before
        // a real wait.
        if (slice == 1) log_.flush();
        const int polled =
            ::poll(ready, wake_descriptor_ >= 0 ? 2 : 1, slice == 0 ? 0 : kWaitSliceMs);
        if (polled < 0 && errno != EINTR) return true;  // the read reports it
        if (wake_descriptor_ >= 0 && (ready[1].revents & POLLIN)) {
            interrupted_ = true;
            return false;
        }
        if (polled > 0) {
            note_input_came(wait_start);
            return true;
        }
        if (polled == 0 && slice == 0) continue;
        const auto waited = Clock::now() - wait_start;
        if (!stall_warned_ && waited >= kStallWarning) {
            stall_warned_ = true;
            log_.write(LogLevel::kWarnings, "WARNING: no input from %s for %.1f s: waiting\n",
                       name_.c_str(), std::chrono::duration<double>(waited).count());
        }
        if (idle_task_) idle_task_();
    }
}

void StreamSource::note_input_came(Clock::time_point wait_start) {
    if (!stall_warned_) return;
    stall_warned_ = false;
    log_.write(LogLevel::kWarnings, "Input from %s again after %.1f s without data\n",
               name_.c_str(), std::chrono::duration<double>(Clock::now() - wait_start).count());
}

size_t StreamSource::read_some(uint8_t* buffer, size_t size) {
    if (ended_ || interrupted_) return 0;
    for (;;) {
        if (!wait_for_input()) return 0;
        const ssize_t count = ::read(descriptor_, buffer, size);
        if (count > 0) return static_cast<size_t>(count);
        if (count == 0) {
            ended_ = true;
            return 0;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
    }
    log_.write(LogLevel::kErrors, "WARNING: Couldn't read from %s (%s) -> input ends here\n",
               name_.c_str(), std::strerror(errno));
    ended_ = true;
    failed_ = true;
    return 0;
}

void StreamSource::fill_lookahead(size_t wanted) {
    while (lookahead_.size() < wanted) {
        const size_t held = lookahead_.size();
        lookahead_.resize(std::max(wanted, held + kReadChunk));
        const size_t count = read_some(lookahead_.data() + held, lookahead_.size() - held);
        lookahead_.resize(held + count);
        if (count == 0) return;
    }
}

std::optional<size_t> StreamSource::first_packet_start(bool complete) const {
    const size_t size = lookahead_.size();
    for (size_t start = 0; start < size; ++start) {
        // While more may come, only candidates whose whole run has arrived.
        if (!complete && start + kSyncWindow > size) break;
        bool aligned = true;
        for (size_t k = 0; k < kSyncRun && start + k * kPacketLength < size; ++k)
            aligned = aligned && lookahead_[start + k * kPacketLength] == kSyncByte;
        if (aligned) return start;
    }
    return std::nullopt;
}

void StreamSource::skip_to_first_packet() {
    uint64_t skipped = 0;
    for (;;) {
        fill_lookahead(kSyncWindow);
        const bool complete = ended_ || interrupted_;  // nothing more will come
        const std::optional<size_t> start = first_packet_start(complete);
        // Without a start, every candidate in view failed: drop them all.
        const size_t drop = start      ? *start
                            : complete ? lookahead_.size()
                                       : lookahead_.size() - kSyncWindow + 1;
        lookahead_.erase(lookahead_.begin(), lookahead_.begin() + static_cast<ptrdiff_t>(drop));
        skipped += drop;
        if (start || complete) break;
    }
    bytes_taken_ += skipped;
    if (skipped > 0)
        log_.write(LogLevel::kWarnings,
                   "WARNING: %" PRIu64 " bytes skipped before the first packet of %s\n", skipped,
                   name_.c_str());
}

size_t StreamSource::read_packets(std::span<uint8_t> block) {
    size_t obtained = std::min(block.size(), lookahead_.size());
    std::copy_n(lookahead_.begin(), obtained, block.begin());
    lookahead_.erase(lookahead_.begin(), lookahead_.begin() + static_cast<ptrdiff_t>(obtained));
    // A pipe delivers what has arrived: read on until the block is full.
    while (obtained < block.size()) {
        const size_t count = read_some(block.data() + obtained, block.size() - obtained);
        if (count == 0) break;
        obtained += count;
    }
    bytes_taken_ += obtained;
    return obtained;
}

bool StreamSource::has_more_input() {
    fill_lookahead(1);
    return !lookahead_.empty();
}

}  // namespace terramod
