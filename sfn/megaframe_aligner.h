// The input of a single-frequency network's transmitter (ETSI TS 101 191):
// a stream carrying a MIP (PID 0x0015) in every mega-frame. The aligner
// skips to the first mega-frame a valid MIP points to, so that the chain's
// first packet begins a mega-frame (and with it super-frame 0, frame 0), and
// then checks that each MIP lands where the mega-frame size says it must.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/log.h"
#include "io/ts_source.h"
#include "sfn/mip.h"

namespace terramod {

class MegaframeAligner : public TsSource {
  public:
    MegaframeAligner(TsSource& upstream, Log& log) : upstream_(upstream), log_(log) {}

    // Reads until a valid MIP (its CRC checked) has pointed to a mega-frame
    // start within `search_limit` packets, and skips the packets before
    // that start (logging their count). The MIP found, or nothing when the
    // input held none in time (or ended, or failed).
    std::optional<Mip> find_start(int64_t search_limit);
    // Packets per mega-frame, known once the settings are: from here on each
    // MIP is checked against it.
    void set_megaframe_packets(int64_t packets) { megaframe_packets_ = packets; }

    // The MIP of each mega-frame (counted from the first handed out), in
    // order, taken by the driver (the latest 64 are held): the MIP carried in mega-frame k points
    // to mega-frame k + 1 and gives its emission time.
    std::vector<std::pair<int64_t, Mip>> take_mips();
    // The MIP that pointed to mega-frame 0.
    const std::optional<Mip>& first_mip() const { return first_mip_; }

    // MIPs found in place, taken or not.
    int64_t mips_in_place() const { return mips_in_place_; }
    int64_t packets_skipped() const { return packets_skipped_; }
    int64_t bad_mips() const { return bad_mips_; }         // CRC or fields wrong
    int64_t misplaced_mips() const { return misplaced_; }  // pointer not at a start
    int64_t mip_losses() const { return mip_losses_; }     // mega-frames without one

    size_t read_packets(std::span<uint8_t> block) override;
    std::optional<uint64_t> known_length() const override;
    bool failed() const override { return upstream_.failed(); }
    bool has_more_input() override { return upstream_.has_more_input(); }
    uint64_t bytes_taken() const override { return upstream_.bytes_taken(); }
    void set_idle_task(std::function<void()> task) override {
        upstream_.set_idle_task(std::move(task));
    }

  private:
    // A MIP's packet: counted when bad, reported when it is the first few.
    std::optional<Mip> parse_counted(std::span<const uint8_t, kPacketLength> packet);
    // One packet handed out at `position` (counted from the mega-frame start).
    void watch(std::span<const uint8_t, kPacketLength> packet, int64_t position);
    // The mega-frames before `megaframe` that passed without a MIP.
    void count_losses_before(int64_t megaframe);

    TsSource& upstream_;
    Log& log_;
    std::optional<Mip> first_mip_;
    int64_t megaframe_packets_ = 0;
    int64_t position_ = 0;  // packets handed out
    int64_t last_mip_megaframe_ = -1;
    std::vector<std::pair<int64_t, Mip>> mips_;
    int64_t mips_in_place_ = 0;
    int64_t packets_skipped_ = 0;
    int64_t bad_mips_ = 0;
    int64_t misplaced_ = 0;
    int64_t mip_losses_ = 0;
    uint64_t skipped_bytes_ = 0;
};

}  // namespace terramod
