#include "sfn/mip_inserter.h"

#include <algorithm>
#include <utility>

namespace terramod {

MipInserter::MipInserter(int64_t packets_per_megaframe, MegaframeClock clock, Mip fields)
    : packets_per_megaframe_(packets_per_megaframe), clock_(clock), fields_(std::move(fields)) {}

int64_t MipInserter::megaframes_begun() const {
    return (position_ + packets_per_megaframe_ - 1) / packets_per_megaframe_;
}

TsPacket MipInserter::null_packet() {
    TsPacket packet;
    packet.fill(0xFF);
    packet[0] = kSyncByte;
    packet[1] = 0x1F;
    packet[2] = 0xFF;
    packet[3] = 0x10;
    return packet;
}

TsPacket MipInserter::mip_at(int64_t position) {
    const int64_t megaframe = position / packets_per_megaframe_;
    Mip mip = fields_;
    mip.pointer = static_cast<uint16_t>((megaframe + 1) * packets_per_megaframe_ - position - 1);
    mip.sts_100ns = clock_.sts_100ns_for(megaframe);
    mip_megaframe_ = megaframe;
    ++mips_inserted_;
    const std::optional<TsPacket> packet = encode_mip(mip, continuity_);
    continuity_ = (continuity_ + 1) & 0x0F;
    // The fields were checked before (see the constructor's contract); a
    // null packet keeps the rate should they not encode.
    return packet ? *packet : null_packet();
}

TsPacket MipInserter::next(std::span<const uint8_t, kPacketLength> input) {
    const int64_t position = position_++;
    const int64_t megaframe = position / packets_per_megaframe_;
    const bool last_of_megaframe = (position + 1) % packets_per_megaframe_ == 0;
    const uint16_t pid = packet_pid(input);
    const bool input_mip = pid == kMipPid;
    if (input_mip) ++input_mips_dropped_;
    const bool free_place = pid == kNullPid || input_mip;
    const bool mip_due = mip_megaframe_ != megaframe;

    TsPacket payload;
    std::copy(input.begin(), input.end(), payload.begin());
    if (mip_due && (free_place || last_of_megaframe)) {
        if (!free_place) {
            ++megaframes_without_null_;
            delayed_.push_back(payload);
            most_delayed_ = std::max(most_delayed_, delayed_.size());
        }
        return mip_at(position);
    }
    if (free_place) {
        if (delayed_.empty()) return input_mip ? null_packet() : payload;
        TsPacket out = delayed_.front();
        delayed_.pop_front();
        return out;
    }
    if (delayed_.empty()) return payload;
    delayed_.push_back(payload);
    TsPacket out = delayed_.front();
    delayed_.pop_front();
    return out;
}

}  // namespace terramod
