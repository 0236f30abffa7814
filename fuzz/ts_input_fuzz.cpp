// libFuzzer harness: the transport-stream input path of a stream. The input
// is the bytes a pipe delivers (up to what a pipe holds, so the write never
// waits); the stream source aligns it to its first packet, hands it out in
// cycle blocks and the cycle reader pads the last. Checked: no block is
// overfilled, no byte is handed out twice or invented, every block is whole
// packets after padding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/log.h"
#include "io/stream_source.h"
#include "tx/input.h"

namespace {

using namespace terramod;

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr size_t kPipeCapacity = 60000;  // below the 64 KiB a Linux pipe holds

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kPipeCapacity) return 0;
    int ends[2];
    if (::pipe(ends) != 0) return 0;
    const ssize_t written = size ? ::write(ends[1], data, size) : 0;
    ::close(ends[1]);
    require(written == static_cast<ssize_t>(size));

    Log log(-1, nullptr);
    {
        std::unique_ptr<StreamSource> source = StreamSource::over_descriptor(ends[0], "fuzz", log);
        require(source != nullptr);
        source->skip_to_first_packet();
        // Blocks of 3 packets, so several cycles come from small inputs.
        std::vector<uint8_t> block(3 * 188);
        uint64_t handed_out = 0;
        for (int cycle = 0; cycle < 1000 && source->has_more_input(); ++cycle) {
            size_t obtained = 0;
            const int64_t consumed = read_cycle_block(*source, block, log, &obtained);
            require(consumed == static_cast<int64_t>(block.size()));
            require(obtained <= block.size());
            handed_out += obtained;
            require(handed_out <= size);
            for (size_t start = obtained - obtained % 188 + (obtained % 188 ? 188 : 0);
                 start < block.size(); start += 188)
                require(block[start] == 0x47);  // padding packets start with the sync byte
        }
        require(source->bytes_taken() <= size);
    }
    ::close(ends[0]);
    return 0;
}
