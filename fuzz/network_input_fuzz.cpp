// libFuzzer harness: the receive path of a UDP or RTP input, as the input
// takes each datagram, on a clock of its own. The first byte chooses the
// reorder buffer's window and wait; then each datagram is one byte of
// arrival step (bits 0-6: 5 ms each; bit 7: the socket cut it short), two
// bytes of length (big-endian, cut to what is left) and its bytes. Each is
// classified; an RTP datagram's packets go through the reorder buffer, the
// others straight on; every packet handed on goes to the stream's health
// monitor. Checked: whatever is handed on is whole 188-byte packets starting
// with a sync byte (so the monitor never sees a sync byte error), taken from
// the datagram or a copy of it; an RTP payload lies inside its datagram; the
// reorder buffer holds at most its window, has a deadline exactly while it
// holds something, hands on every payload it accepted once and unchanged
// (none twice, none lost, none made up), says of each datagram what became of
// it, and holds nothing once its wait has passed; no counter goes down.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "io/ts_health.h"
#include "io/ts_packet.h"
#include "net/datagram.h"
#include "net/rtp_reorder.h"

namespace {

using namespace terramod;
using std::chrono::milliseconds;

void require(bool condition) {
    if (!condition) std::abort();
}

constexpr size_t kPacket = ts::kPacketSize;
constexpr size_t kWindows[] = {1, 2, 4, 8, 16, 32, 64, 1024};
constexpr int kStepMilliseconds = 5;

using Bytes = std::vector<uint8_t>;

// The very same bytes, not a copy.
bool same_bytes(std::span<const uint8_t> one, std::span<const uint8_t> other) {
    return one.data() == other.data() && one.size() == other.size();
}

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

void require_whole_packets(std::span<const uint8_t> bytes) {
    require(bytes.size() % kPacket == 0);
    for (size_t start = 0; start < bytes.size(); start += kPacket)
        require(bytes[start] == ts::kSyncByte);
}

bool no_counter_lower(const RtpReorder::Counters& now, const RtpReorder::Counters& before) {
    return now.lost >= before.lost && now.reordered >= before.reordered &&
           now.duplicates >= before.duplicates && now.late >= before.late &&
           now.resyncs >= before.resyncs;
}

bool no_counter_lower(const TsHealthCounters& now, const TsHealthCounters& before) {
    return now.sync_losses >= before.sync_losses &&
           now.sync_byte_errors >= before.sync_byte_errors && now.pat_errors >= before.pat_errors &&
           now.cc_errors >= before.cc_errors && now.pmt_errors >= before.pmt_errors &&
           now.pid_errors >= before.pid_errors && now.transport_errors >= before.transport_errors &&
           now.crc_errors >= before.crc_errors;
}

// The receive path and what it has handed on so far.
class ReceivePath {
  public:
    ReceivePath(size_t window, milliseconds wait)
        : window_(window), wait_(wait), reorder_(window, wait) {
        deliver_ = [this](std::span<const uint8_t> payload) {
            const auto pending = pending_payloads_.find(Bytes(payload.begin(), payload.end()));
            require(pending != pending_payloads_.end());
            pending_payloads_.erase(pending);
            ++payloads_delivered_;
            hand_on(payload);
        };
    }

    void take(std::span<const uint8_t> datagram, bool truncated, milliseconds step) {
        now_ += step;
        reorder_.expire(now_, deliver_);
        monitor_.advance_to(seconds());
        check_reorder();

        const DatagramContent content = classify_datagram(datagram, truncated, salvaged_);
        check_content(datagram, truncated, content);
        if (!content.rtp_sequence) {
            hand_on(content.packets);
        } else {
            // Pending before the push: an accepted payload may be handed on
            // within it; a dropped one is handed nothing.
            const auto pending =
                pending_payloads_.emplace(content.packets.begin(), content.packets.end());
            const uint64_t delivered_before = payloads_delivered_;
            const RtpReorder::Outcome outcome =
                reorder_.push(*content.rtp_sequence, content.packets, now_, deliver_);
            check_outcome(outcome, payloads_delivered_ - delivered_before);
            if (outcome == RtpReorder::Outcome::kDuplicate || outcome == RtpReorder::Outcome::kLate)
                pending_payloads_.erase(pending);
        }
        check_reorder();
    }

    // Long after the last datagram: everything held has been handed on.
    void finish() {
        now_ += wait_ + milliseconds(1);
        reorder_.expire(now_, deliver_);
        monitor_.advance_to(seconds());
        check_reorder();
        require(reorder_.held() == 0 && pending_payloads_.empty());
        const double rate = monitor_.measured_rate();
        require(std::isfinite(rate) && rate >= 0);
        require(!monitor_.summary().empty());
    }

  private:
    double seconds() const {
        return std::chrono::duration<double>(now_ - RtpReorder::Clock::time_point{}).count();
    }

    void check_content(std::span<const uint8_t> datagram, bool truncated,
                       const DatagramContent& content) {
        require_whole_packets(content.packets);
        require(inside(content.packets, datagram) || inside(content.packets, salvaged_));
        if (truncated) require(content.bad && content.packets.empty());
        if (!content.bad) require(!content.packets.empty());
        const bool plain = !datagram.empty() && datagram[0] == ts::kSyncByte;
        if (plain) {
            require(!content.rtp_sequence);
            if (!content.bad) require(same_bytes(content.packets, datagram));
            return;
        }
        const std::optional<RtpPayload> rtp = parse_rtp(datagram);
        require(rtp.has_value() == content.rtp_sequence.has_value());
        if (!rtp) {
            require(content.bad && content.packets.empty());
            return;
        }
        require(rtp->sequence == (datagram[2] << 8 | datagram[3]));
        require(rtp->offset >= 12 + 4 * size_t{datagram[0] & 0x0Fu});
        require(rtp->offset <= datagram.size() && rtp->size <= datagram.size() - rtp->offset);
        const size_t padding = datagram.size() - rtp->offset - rtp->size;
        if ((datagram[0] & 0x20) == 0) require(padding == 0);
        if ((datagram[0] & 0x20) != 0) require(padding == datagram.back() && padding > 0);
        if (!content.bad)
            require(same_bytes(content.packets, datagram.subspan(rtp->offset, rtp->size)));
    }

    // What push() says became of the datagram agrees with what it did.
    void check_outcome(RtpReorder::Outcome outcome, uint64_t delivered) {
        switch (outcome) {
            case RtpReorder::Outcome::kDelivered:
                require(delivered > 0);
                break;
            case RtpReorder::Outcome::kHeld:
                require(reorder_.held() > 0);
                break;
            case RtpReorder::Outcome::kDuplicate:
            case RtpReorder::Outcome::kLate:
                require(delivered == 0);
                break;
            case RtpReorder::Outcome::kResynchronised:
                require(delivered > 0 && reorder_.held() == 0);
                break;
        }
    }

    void hand_on(std::span<const uint8_t> packets) {
        require_whole_packets(packets);
        for (size_t start = 0; start < packets.size(); start += kPacket) {
            monitor_.observe(packets.subspan(start).first<kPacket>(), seconds());
            ++packets_handed_on_;
        }
        require(monitor_.packets() == packets_handed_on_);
        const TsHealthCounters& counters = monitor_.counters();
        require(no_counter_lower(counters, health_before_));
        // Every packet starts with a sync byte: sync is never lost.
        require(counters.sync_byte_errors == 0 && counters.sync_losses == 0);
        health_before_ = counters;
    }

    void check_reorder() {
        require(reorder_.held() <= window_);
        require(reorder_.deadline().has_value() == (reorder_.held() > 0));
        require(reorder_.held() == pending_payloads_.size());
        require(no_counter_lower(reorder_.counters(), reorder_before_));
        reorder_before_ = reorder_.counters();
        require(no_counter_lower(monitor_.counters(), health_before_));
        health_before_ = monitor_.counters();
    }

    const size_t window_;
    const milliseconds wait_;
    RtpReorder reorder_;
    RtpReorder::Deliver deliver_;
    TsHealthMonitor monitor_;
    std::vector<uint8_t> salvaged_;
    RtpReorder::Clock::time_point now_{};
    // The accepted RTP payloads not handed on yet.
    std::multiset<Bytes> pending_payloads_;
    uint64_t payloads_delivered_ = 0;
    uint64_t packets_handed_on_ = 0;
    RtpReorder::Counters reorder_before_;
    TsHealthCounters health_before_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 200000) return 0;
    const size_t window = kWindows[data[0] & 7];
    const milliseconds wait(10 * ((data[0] >> 3) + 1));
    ReceivePath path(window, wait);
    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t step = data[at];
        const size_t length = std::min<size_t>(data[at + 1] << 8 | data[at + 2], size - at - 3);
        at += 3;
        path.take({data + at, length}, (step & 0x80) != 0,
                  milliseconds(kStepMilliseconds * (step & 0x7F)));
        at += length;
    }
    path.finish();
    return 0;
}
