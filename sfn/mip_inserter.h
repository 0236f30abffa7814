// The SFN adapter's packet rule: mega-frames are counted from the first
// packet (mega-frame k is packets [k x N, (k + 1) x N) of the output), and
// each gets exactly one MIP, in place of its first null packet (PID 0x1FFF).
// A mega-frame without a null packet gets its MIP in its last packet's
// place, and the payload packet it displaces is delayed, first in first
// out, into the next null packets; payload packets that arrive while some
// are delayed queue behind them, so no payload packet is lost and their
// order holds. MIPs of the input (PID 0x0015) are dropped: their places are
// free like a null packet's.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>

#include "sfn/megaframe.h"
#include "sfn/mip.h"

namespace terramod {

using TsPacket = std::array<uint8_t, kPacketLength>;

class MipInserter {
  public:
    // `fields`: what every MIP carries besides the pointer and STS (which
    // the inserter sets). `fields` must encode (encode_mip).
    MipInserter(int64_t packets_per_megaframe, MegaframeClock clock, Mip fields);

    // The packet that takes the next input packet's place in the output.
    TsPacket next(std::span<const uint8_t, kPacketLength> input);

    // Payload packets still delayed; written after the last output packet
    // when the input ends.
    const std::deque<TsPacket>& delayed() const { return delayed_; }

    int64_t megaframes_begun() const;
    int64_t mips_inserted() const { return mips_inserted_; }
    int64_t input_mips_dropped() const { return input_mips_dropped_; }
    // Mega-frames that had no null packet, and so delayed a payload packet.
    int64_t megaframes_without_null() const { return megaframes_without_null_; }
    // The most payload packets delayed at once.
    size_t most_delayed() const { return most_delayed_; }

  private:
    TsPacket mip_at(int64_t position);
    static TsPacket null_packet();

    int64_t packets_per_megaframe_;
    MegaframeClock clock_;
    Mip fields_;
    int64_t position_ = 0;        // output packets written
    int64_t mip_megaframe_ = -1;  // the last mega-frame given its MIP
    uint8_t continuity_ = 0;
    std::deque<TsPacket> delayed_;
    int64_t mips_inserted_ = 0;
    int64_t input_mips_dropped_ = 0;
    int64_t megaframes_without_null_ = 0;
    size_t most_delayed_ = 0;
};

inline uint16_t packet_pid(std::span<const uint8_t, kPacketLength> packet) {
    return static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

}  // namespace terramod
