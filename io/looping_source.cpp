#include "io/looping_source.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "dvbt/dvbt.h"

namespace terramod {

size_t LoopingSource::read_packets(std::span<uint8_t> block) {
    size_t filled = 0;
    while (filled < block.size() && has_more_input()) {
        const size_t got = file_.read_packets(block.subspan(filled));
        filled += got;
        pass_bytes_ += got;
        if (filled == block.size() || file_.failed()) break;
        // The end of a pass: complete a cut last packet, then start again.
        const size_t cut = pass_bytes_ % kPacketLength;
        if (cut != 0) {
            const size_t zeros = std::min(kPacketLength - cut, block.size() - filled);
            std::memset(block.data() + filled, 0, zeros);
            filled += zeros;
            pass_bytes_ += zeros;
            if (pass_bytes_ % kPacketLength != 0) break;  // the block ended first
        }
        if (!file_.rewind()) break;
        pass_bytes_ = 0;
        ++wraps_;
        log_.write(2, "Input wrapped to its beginning (pass %" PRId64 ")\n", wraps_ + 1);
    }
    bytes_taken_ += filled;
    return filled;
}

}  // namespace terramod
