#include "io/looping_source.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace terramod {

namespace {

constexpr size_t kPacket = ts::kPacketSize;

uint64_t packets_in(const TsSource& file) {
    return (file.known_length().value_or(0) + kPacket - 1) / kPacket;
}

}  // namespace

LoopingSource::LoopingSource(TsSource& file, Log& log)
    : file_(file), log_(log), continuity_(packets_in(file)) {}

size_t LoopingSource::read_packets(std::span<uint8_t> block) {
    size_t filled = hand_out_pending(block);
    const size_t whole = (block.size() - filled) / kPacket * kPacket;
    const size_t got = read_whole_packets(block.subspan(filled, whole));
    filled += got;
    if (got == whole && filled < block.size()) {
        pending_size_ = read_whole_packets(pending_);
        pending_at_ = 0;
        filled += hand_out_pending(block.subspan(filled));
    }
    bytes_taken_ += filled;
    return filled;
}

size_t LoopingSource::hand_out_pending(std::span<uint8_t> block) {
    const size_t count = std::min(block.size(), pending_size_ - pending_at_);
    std::memcpy(block.data(), pending_.data() + pending_at_, count);
    pending_at_ += count;
    return count;
}

size_t LoopingSource::fill_gap(std::span<uint8_t> packets) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(gap_due_, packets.size() / kPacket));
    const uint64_t first_slot = continuity_.gap_packets() - gap_due_;
    for (size_t i = 0; i < count; ++i)
        continuity_.write_gap_packet(first_slot + i, packets.data() + i * kPacket);
    gap_due_ -= count;
    return count * kPacket;
}

size_t LoopingSource::read_whole_packets(std::span<uint8_t> packets) {
    size_t filled = 0;
    while (filled < packets.size()) {
        filled += fill_gap(packets.subspan(filled));
        if (filled == packets.size() || file_.failed() || file_.known_length().value_or(0) == 0)
            break;
        const size_t got = file_.read_packets(packets.subspan(filled));
        for (size_t at = 0; at + kPacket <= got; at += kPacket)
            continuity_.take(packets.data() + filled + at, kPacket);
        filled += got;
        pass_bytes_ += got;
        if (filled == packets.size() || file_.failed()) break;
        // The end of a pass: complete a cut last packet, then start again.
        // `packets` starts on a packet boundary, so the zeros fit.
        const size_t cut = pass_bytes_ % kPacket;
        if (cut != 0) {
            uint8_t* last = packets.data() + filled - cut;
            std::memset(packets.data() + filled, 0, kPacket - cut);
            filled += kPacket - cut;
            pass_bytes_ += kPacket - cut;
            continuity_.take(last, cut);
        }
        if (!file_.rewind()) break;
        wrap();
    }
    return filled;
}

void LoopingSource::wrap() {
    pass_bytes_ = 0;
    ++wraps_;
    continuity_.start_next_pass();
    gap_due_ = continuity_.gap_packets();
    if (wraps_ > 1) {
        log_.write(LogLevel::kProgress, "Input wrapped to its beginning (pass %" PRId64 ")\n",
                   wraps_ + 1);
    } else if (continuity_.duration() && continuity_.gap_pcr_packets() > 0) {
        log_.write(LogLevel::kProgress,
                   "Input wrapped to its beginning (pass 2): counters carried on, PCR/PTS/DTS "
                   "moved on by %.6f s a pass, %" PRIu64 " packets at each wrap (%" PRIu64
                   " of them PCR-only, the rest null) so each pass lasts as long as its content\n",
                   static_cast<double>(*continuity_.duration()) / ts::kClockRate, gap_due_,
                   continuity_.gap_pcr_packets());
    } else if (continuity_.duration() && gap_due_ > 0) {
        log_.write(LogLevel::kProgress,
                   "Input wrapped to its beginning (pass 2): counters carried on, PCR/PTS/DTS "
                   "moved on by %.6f s a pass, %" PRIu64
                   " null packets at each wrap so each pass lasts as long as its content\n",
                   static_cast<double>(*continuity_.duration()) / ts::kClockRate, gap_due_);
    } else if (continuity_.duration()) {
        log_.write(LogLevel::kProgress,
                   "Input wrapped to its beginning (pass 2): counters carried on, PCR/PTS/DTS "
                   "moved on by %.6f s a pass\n",
                   static_cast<double>(*continuity_.duration()) / ts::kClockRate);
    } else if (continuity_.saw_pcr()) {
        log_.write(LogLevel::kProgress,
                   "Input wrapped to its beginning (pass 2): counters carried on; no two "
                   "advancing PCRs, so each pass's first PCR is marked discontinuous\n");
    } else {
        log_.write(LogLevel::kProgress,
                   "Input wrapped to its beginning (pass 2): counters carried on\n");
    }
}

}  // namespace terramod
