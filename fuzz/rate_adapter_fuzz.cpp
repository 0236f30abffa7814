// libFuzzer harness: --adapt-rate over any stream. The seeds are small
// streams with PAT, PMT, PCRs, discontinuities and a PCR PID that moves;
// the fuzzer mangles their PCRs, tables and adaptation fields. The first two
// bytes choose the channel rate, the block size and the start delay; the
// rest is the stream. The adapter is read as the driver reads it
// (has_more_input() before each block). Checked: every read returns whole
// packets (only a last input packet cut short may end the output), free
// slots carry null packets, the input's other packets come out in their
// order and unchanged but for their PCRs, no PCR leaves before its time or
// more than the queue delay after it, the statistics count what came out,
// and nothing is returned once the stream is found unusable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "io/ts_packet.h"
#include "io/ts_rate_adapter.h"

namespace {

using namespace terramod;

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr size_t kPacket = ts::kPacketSize;
// Bounds one execution: a stream's PCRs can ask for long stretches of nulls.
constexpr uint64_t kMaxOutputPackets = 20000;
constexpr double kChannelRates[] = {0.5e6, 2e6, 6032085.561497327, 24128342.245989308};
constexpr double kStartDelays[] = {0, 0.001, 0.01, 0.1};

class MemorySource : public TsSource {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t read_packets(std::span<uint8_t> block) override {
        const size_t count = std::min(block.size(), size_ - position_);
        if (count > 0) std::memcpy(block.data(), data_ + position_, count);
        position_ += count;
        return count;
    }
    std::optional<uint64_t> known_length() const override { return size_; }
    bool has_more_input() override { return position_ < size_; }
    uint64_t bytes_taken() const override { return position_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

bool is_null(const uint8_t* packet) {
    return packet[0] == ts::kSyncByte && ts::pid(packet) == ts::kNullPid;
}

int64_t centred(int64_t ticks) {
    ticks %= ts::kPcrModulus;
    if (ticks < 0) ticks += ts::kPcrModulus;
    return ticks > ts::kPcrModulus / 2 ? ticks - ts::kPcrModulus : ticks;
}

// Walks the input's packets that are not null packets, in order.
struct InputCursor {
    const uint8_t* data;
    size_t size;
    size_t offset = 0;

    // The next one, or null when none is left; `length` its bytes.
    const uint8_t* next(size_t& length) {
        while (offset < size) {
            const uint8_t* packet = data + offset;
            length = std::min(kPacket, size - offset);
            offset += length;
            if (length < kPacket || !is_null(packet)) return packet;
        }
        return nullptr;
    }
};

// An output packet that is not an inserted null packet: the next input one.
void check_carried(const uint8_t* out, size_t length, InputCursor& input) {
    size_t in_length = 0;
    const uint8_t* in = input.next(in_length);
    require(in != nullptr && in_length == length);
    if (length == kPacket && ts::carries_pcr(in)) {
        // PCR base and extension rewritten, the six reserved bits kept.
        require(std::memcmp(out, in, 6) == 0);
        require((out[10] & 0x7E) == (in[10] & 0x7E));
        require(std::memcmp(out + 12, in + 12, kPacket - 12) == 0);
        const int64_t correction = centred(ts::read_pcr(out) - ts::read_pcr(in));
        require(correction >= -1);
        require(correction <= RateAdaptingSource::kMaxQueueDelay * ts::kClockRate + 1);
    } else {
        require(std::memcmp(out, in, length) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 200000) return 0;
    const double channel_rate =
        kChannelRates[data[0] & 3] * (1 + static_cast<double>(data[0] >> 2) / 64);
    const size_t block_packets = 1 + (data[1] & 0x3F);
    const double start_delay = kStartDelays[data[1] >> 6];
    const uint8_t* stream = data + 2;
    const size_t stream_size = size - 2;

    Log log(-1, nullptr);
    MemorySource source(stream, stream_size);
    RateAdaptingSource adapter(source, channel_rate, kSpacing8MHz, log, start_delay);
    std::vector<uint8_t> block(block_packets * kPacket);
    InputCursor input{stream, stream_size};
    uint64_t packets_out = 0, nulls_out = 0;
    bool ended = false;
    while (packets_out < kMaxOutputPackets && adapter.has_more_input()) {
        require(!ended);
        const size_t got = adapter.read_packets(block);
        require(got <= block.size());
        if (adapter.fatal()) {
            require(got == 0);
            require(adapter.read_packets(block) == 0);
            break;
        }
        for (size_t at = 0; at < got; at += kPacket) {
            const uint8_t* packet = block.data() + at;
            const size_t length = std::min(kPacket, got - at);
            ++packets_out;
            if (length == kPacket && is_null(packet)) {
                // Inserted: the input's own null packets were dropped.
                for (size_t k = 4; k < kPacket; ++k) require(packet[k] == 0xFF);
                ++nulls_out;
            } else {
                check_carried(packet, length, input);
            }
        }
        // Short only at the end; a cut packet only as the very last bytes.
        if (got < block.size()) ended = true;
        if (got % kPacket != 0) require(got < block.size());
    }
    const RateAdapterStatistics& statistics = adapter.statistics();
    require(statistics.input_bytes <= stream_size);
    if (!adapter.fatal()) {
        require(statistics.output_packets >= packets_out);
        require(statistics.null_packets_inserted >= nulls_out);
    }
    // Everything read out of a stream that ended normally: every input
    // packet went out.
    if (!adapter.fatal() && packets_out < kMaxOutputPackets) {
        size_t length = 0;
        require(input.next(length) == nullptr);
        require(statistics.output_packets == packets_out);
        require(statistics.null_packets_inserted == nulls_out);
    }
    return 0;
}
