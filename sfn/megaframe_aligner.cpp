#include "sfn/megaframe_aligner.h"

#include <array>
#include <cinttypes>

#include "sfn/mip_inserter.h"

namespace terramod {

namespace {

// Warnings of each kind written before they are only counted.
constexpr int64_t kReportedWarnings = 5;
// MIPs held until the driver takes them.
constexpr size_t kHeldMips = 64;

}  // namespace

std::optional<Mip> MegaframeAligner::parse_counted(std::span<const uint8_t, kPacketLength> packet) {
    MipError error = MipError::kNone;
    std::optional<Mip> mip = parse_mip(packet, &error);
    if (mip) return mip;
    ++bad_mips_;
    if (bad_mips_ <= kReportedWarnings)
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: a MIP (PID 0x0015) is not valid (%s): ignored\n",
                   std::string(mip_error_name(error)).c_str());
    return std::nullopt;
}

std::optional<Mip> MegaframeAligner::find_start(int64_t search_limit) {
    std::array<uint8_t, kPacketLength> packet{};
    for (int64_t index = 0; index < search_limit; ++index) {
        if (upstream_.read_packets(packet) != packet.size()) return std::nullopt;
        if (packet[0] != kSyncByte || packet_pid(packet) != kMipPid) continue;
        std::optional<Mip> mip = parse_counted(packet);
        if (!mip) continue;
        // The mega-frame starts `pointer` packets after the MIP.
        for (int64_t skip = 0; skip < mip->pointer; ++skip)
            if (upstream_.read_packets(packet) != packet.size()) return std::nullopt;
        packets_skipped_ = index + 1 + mip->pointer;
        skipped_bytes_ = static_cast<uint64_t>(packets_skipped_) * kPacketLength;
        log_.write(LogLevel::kProgress,
                   "SFN: %" PRId64 " packets before the first mega-frame start skipped\n",
                   packets_skipped_);
        first_mip_ = mip;
        return mip;
    }
    return std::nullopt;
}

std::vector<std::pair<int64_t, Mip>> MegaframeAligner::take_mips() {
    std::vector<std::pair<int64_t, Mip>> mips;
    mips.swap(mips_);
    return mips;
}

size_t MegaframeAligner::read_packets(std::span<uint8_t> block) {
    const size_t obtained = upstream_.read_packets(block);
    for (size_t at = 0; at + kPacketLength <= obtained; at += kPacketLength) {
        watch(std::span<const uint8_t, kPacketLength>(block.data() + at, kPacketLength), position_);
        ++position_;
    }
    return obtained;
}

std::optional<uint64_t> MegaframeAligner::known_length() const {
    const std::optional<uint64_t> length = upstream_.known_length();
    if (!length) return std::nullopt;
    return *length > skipped_bytes_ ? *length - skipped_bytes_ : 0;
}

void MegaframeAligner::watch(std::span<const uint8_t, kPacketLength> packet, int64_t position) {
    if (packet[0] != kSyncByte || packet_pid(packet) != kMipPid) return;
    std::optional<Mip> mip = parse_counted(packet);
    if (!mip || megaframe_packets_ <= 0) return;
    const int64_t target = position + mip->pointer + 1;
    const int64_t megaframe = position / megaframe_packets_;
    if (target % megaframe_packets_ != 0 || target / megaframe_packets_ != megaframe + 1) {
        ++misplaced_;
        if (misplaced_ <= kReportedWarnings)
            log_.write(LogLevel::kWarnings,
                       "WARNING: SFN: the MIP at packet %" PRId64 " of mega-frame %" PRId64
                       " points to packet %" PRId64
                       ", not to the next mega-frame's start: ignored\n",
                       position, megaframe, target);
        return;
    }
    if (megaframe <= last_mip_megaframe_) return;  // one a mega-frame counts
    count_losses_before(megaframe);
    ++mips_in_place_;
    // Only the latest are held for the driver: a long run does not grow.
    if (mips_.size() >= kHeldMips) mips_.erase(mips_.begin());
    mips_.emplace_back(megaframe, *mip);
}

void MegaframeAligner::count_losses_before(int64_t megaframe) {
    const int64_t lost = megaframe - last_mip_megaframe_ - 1;
    if (lost > 0) {
        mip_losses_ += lost;
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: %" PRId64 " mega-frame(s) before mega-frame %" PRId64
                   " carried no valid MIP\n",
                   lost, megaframe);
    }
    last_mip_megaframe_ = megaframe;
}

}  // namespace terramod
