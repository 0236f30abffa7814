#include "io/standard_output_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace terramod {

StandardOutputSink::StandardOutputSink(int descriptor) : descriptor_(descriptor) {}

bool StandardOutputSink::open() {
    open_ = ::fcntl(descriptor_, F_GETFL) != -1;
    return open_;
}

bool StandardOutputSink::write_samples(std::span<const uint8_t> encoded) {
    if (!open_ || reader_gone_) return false;
    size_t written = 0;
    while (written < encoded.size()) {
        const ssize_t count =
            ::write(descriptor_, encoded.data() + written, encoded.size() - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking descriptor inherited from the caller: wait for room.
            pollfd room{descriptor_, POLLOUT, 0};
            ::poll(&room, 1, -1);
            continue;
        }
        // SIGPIPE is ignored by the driver: a reader that went away shows here.
        if (count < 0 && errno == EPIPE) reader_gone_ = true;
        return false;
    }
    return true;
}

bool StandardOutputSink::close() {
    open_ = false;
    return true;
}

}  // namespace terramod
