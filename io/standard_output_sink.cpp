#include "io/standard_output_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace terramod {

StandardOutputSink::StandardOutputSink(int descriptor, int wake_descriptor)
    : descriptor_(descriptor), wake_descriptor_(wake_descriptor) {}

bool StandardOutputSink::open() {
    open_ = ::fcntl(descriptor_, F_GETFL) != -1;
    return open_;
}

bool StandardOutputSink::write_samples(std::span<const uint8_t> encoded, const CycleTime&) {
    if (!open_ || reader_gone_ || interrupted_) return false;
    size_t written = 0;
    while (written < encoded.size()) {
        if (!wait_for_room()) return false;
        const ssize_t count =
            ::write(descriptor_, encoded.data() + written, encoded.size() - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        // A non-blocking descriptor inherited from the caller: wait for room.
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        // SIGPIPE is ignored by the driver: a reader that went away shows here.
        if (count < 0 && errno == EPIPE) reader_gone_ = true;
        return false;
    }
    return true;
}

// A blocking write that a stop signal interrupts returns (no SA_RESTART),
// and this wait then sees the wake descriptor.
bool StandardOutputSink::wait_for_room() {
    if (wake_descriptor_ < 0) return true;
    for (;;) {
        pollfd ready[2] = {{descriptor_, POLLOUT, 0}, {wake_descriptor_, POLLIN, 0}};
        const int polled = ::poll(ready, 2, -1);
        if (ready[1].revents & POLLIN) {
            interrupted_ = true;
            return false;
        }
        if (polled > 0 || errno != EINTR) return true;  // the write says what is wrong
    }
}

bool StandardOutputSink::close() {
    open_ = false;
    return true;
}

}  // namespace terramod
