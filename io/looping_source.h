// --loop: a file input that starts again at its beginning whenever it ends,
// so the transmission runs on without a break until it is stopped. The passes
// are joined into one continuous transport stream (io/loop_continuity.h);
// where a pass's content outlasts its packets, null packets go out at each
// wrap, before the next pass, so the content's frames do not overlap; some
// of them give way to PCR-only packets that keep each PCR PID's clock going
// through a long gap.
#pragma once

#include <array>

#include "common/log.h"
#include "io/file_source.h"
#include "io/loop_continuity.h"
#include "io/ts_source.h"

namespace terramod {

class LoopingSource : public TsSource {
  public:
    // `file` can rewind (TsSource::can_rewind()) and knows its length.
    LoopingSource(TsSource& file, Log& log);

    // Fills the whole block, wrapping to the file's start as often as needed.
    // A file whose length is not a whole number of packets has its last
    // packet completed with zeros before the wrap, so every pass starts on a
    // packet boundary. Returns fewer bytes only after a read failure (or for
    // an empty file, which has nothing to loop). A block that is not a whole
    // number of packets is served all the same: the packet it ends in is
    // read whole and its rest handed out first by the next read.
    size_t read_packets(std::span<uint8_t> block) override;
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    bool failed() const override { return file_.failed(); }
    bool has_more_input() override {
        return pending_at_ < pending_size_ || gap_due_ > 0 ||
               (!file_.failed() && file_.known_length().value_or(0) > 0);
    }
    uint64_t bytes_taken() const override { return bytes_taken_; }

    // How many times the input started again at its beginning.
    int64_t wraps() const { return wraps_; }

  private:
    // Reads into `packets` (a whole number of packets starting on a packet
    // boundary of the pass), wrapping as needed, and rewrites what it read.
    size_t read_whole_packets(std::span<uint8_t> packets);
    size_t hand_out_pending(std::span<uint8_t> block);
    // The gap's packets still due before the next pass, as many as fit.
    size_t fill_gap(std::span<uint8_t> packets);
    void wrap();

    TsSource& file_;
    Log& log_;
    LoopContinuity continuity_;
    uint64_t bytes_taken_ = 0;
    uint64_t pass_bytes_ = 0;  // of the current pass through the file
    int64_t wraps_ = 0;
    uint64_t gap_due_ = 0;  // gap packets still to send before the next pass
    std::array<uint8_t, ts::kPacketSize> pending_{};  // a packet split by a block's end
    size_t pending_size_ = 0;
    size_t pending_at_ = 0;  // bytes of it handed out
};

}  // namespace terramod
