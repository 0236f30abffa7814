// Rate adaptation over a live input, run in virtual time: an encoder model
// writes a constant-rate stream on its own clock, a network delivers it in
// datagrams (late, jittered, or not at all for a while) into a live buffer,
// and the output takes the adapter's slots at the channel's rate: the time
// is the slots read so far times a slot's duration. No real time, no threads.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <map>
#include <string>

#include "io/ts_rate_adapter.h"
#include "tests/io/ts_test_support.h"

namespace terramod::test {
namespace {

constexpr double kSlotSeconds = 1504 / kDefaultChannel;
constexpr double kTicksPerSlot = 1504 * 27e6 / kDefaultChannel;
constexpr double kTicksPer500ns = 13.5;
constexpr uint16_t kSecondPcrPid = 0x110;
constexpr size_t kDatagramPackets = 7;
constexpr double kNetworkDelay = 0.025;  // s, before any jitter
constexpr double kBufferTarget = 0.200;  // s of stream the live buffer holds
constexpr double kFillSmoothing = 0.5;   // s, the buffer's smoothing time constant

struct EncoderPlan {
    double rate = 5e6;        // bit/s on the encoder's clock
    double clock_offset = 0;  // the encoder's clock against the output's (2e-4: 200 ppm fast)
    double null_share = 0.1;
    double pause_at = -1;  // s of output time: the encoder (and its clock) stops
    double loss_at = -1;   // s: the datagrams sent from here on are lost
    double gap = 3.0;      // s the pause or the loss lasts
    double jitter = 0;     // +- s added to each datagram's delivery
};

int64_t centred(int64_t ticks) {
    ticks %= kPcrModulus;
    if (ticks < 0) ticks += kPcrModulus;
    return ticks > kPcrModulus / 2 ? ticks - kPcrModulus : ticks;
}

uint64_t index_in(const uint8_t* packet) {
    uint64_t index;
    std::memcpy(&index, packet + kPacket - sizeof index, sizeof index);
    return index;
}

// The encoder's clock when packet `index` of a `rate` stream leaves it, as
// its PCRs on `pid` give it.
int64_t encoder_pcr(uint64_t index, uint16_t pid, double rate) {
    const int64_t clock = 1234567 + std::llround(static_cast<double>(index) * 1504 / rate * 27e6);
    return pid == kSecondPcrPid ? clock + 5555555555 : clock;
}

// Writes the packets in order: PCRs of its clock on the video PID every
// 30 to 40 ms and on a second programme's PID (another clock), PAT and PMT
// every 100 ms, null packets at random; each other packet ends with its
// index.
class EncoderModel {
  public:
    explicit EncoderModel(const EncoderPlan& plan) : plan_(plan) {}
    double packet_seconds() const { return 1504 / plan_.rate; }
    // When packet `index` leaves the encoder, in output time.
    double leaves_at(uint64_t index) const {
        const double own = static_cast<double>(index) * packet_seconds() / (1 + plan_.clock_offset);
        return plan_.pause_at >= 0 && own >= plan_.pause_at ? own + plan_.gap : own;
    }
    // The next packet; true for a null packet.
    bool write_next(uint8_t* packet) {
        const uint64_t index = next_++;
        const double t = static_cast<double>(index) * packet_seconds();
        uint16_t pid = kVideoPid;
        bool pcr = false;
        if (t >= next_tables_) {
            pid = tables_sent_++ % 2 == 0 ? 0 : kPmtPid;
            next_tables_ += 0.05;
        } else if (t >= next_pcr_) {
            pcr = true;
            next_pcr_ += 0.030 + 0.001 * static_cast<double>(pcrs_++ * 7 % 11);
        } else if (t >= next_second_pcr_) {
            pid = kSecondPcrPid;
            pcr = true;
            next_second_pcr_ += 0.035;
        } else if ((random_ = random_ * 1103515245u + 12345u) >> 16 < plan_.null_share * 65536) {
            pid = 0x1FFF;
        }
        std::memset(packet, 0xFF, kPacket);
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((pid == 0 || pid == kPmtPid ? 0x40 : 0) | (pid >> 8));
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | (counters_[pid]++ & 0x0F));
        if (pid == 0x1FFF) return true;
        if (pid == 0) put_section(packet, 0x00, {0, 1, 0xE0 | (kPmtPid >> 8), kPmtPid & 0xFF});
        if (pid == kPmtPid)
            put_section(packet, 0x02, {0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF, 0xF0, 0});
        if (pcr) {
            packet[3] |= 0x20;
            packet[4] = 7;
            packet[5] = 0x10;
            put_pcr(packet, encoder_pcr(index, pid, plan_.rate));
        }
        std::memcpy(packet + kPacket - sizeof index, &index, sizeof index);
        return false;
    }
    uint64_t next_index() const { return next_; }

  private:
    EncoderPlan plan_;
    uint64_t next_ = 0;
    double next_tables_ = 0, next_pcr_ = 0.001, next_second_pcr_ = 0.017;
    uint64_t tables_sent_ = 0, pcrs_ = 0;
    uint32_t random_ = 12345;
    uint8_t counters_[0x2000] = {};
};

// The live buffer: datagrams arrive in order, each `kNetworkDelay` (plus
// its jitter) after its last packet left the encoder, unless lost. It hands
// out what it holds once it has buffered kBufferTarget, at the start and
// after each loss (it holds nothing: stalled until refilled, a timing break
// when it hands out again); its fill error is smoothed.
class FakeLiveSource : public TsSource {
  public:
    explicit FakeLiveSource(const EncoderPlan& plan) : plan_(plan), encoder_(plan) {}

    void advance_to(double now) {
        for (;; ++next_datagram_) {
            const uint64_t last = next_datagram_ * kDatagramPackets + kDatagramPackets - 1;
            const double sent = encoder_.leaves_at(last);
            if (plan_.loss_at >= 0 && sent >= plan_.loss_at && sent < plan_.loss_at + plan_.gap)
                continue;
            random_ = random_ * 1103515245u + 12345u;
            const double jitter =
                plan_.jitter * (static_cast<double>(random_ >> 8) / 8388608.0 - 1);
            const double arrival = std::max(last_arrival_, sent + kNetworkDelay + jitter);
            if (arrival > now) break;
            last_arrival_ = arrival;
            held_.push_back(next_datagram_);
        }
        const double fill = held_seconds();
        if (!buffering_ && fill == 0) buffering_ = stalled_ = true;
        if (buffering_ && fill >= kBufferTarget) {
            buffering_ = false;
            if (stalled_) {
                ++breaks_;
                first_after_break_ = held_.front() * kDatagramPackets;
            }
            if (!measured_) smoothed_error_ = fill - kBufferTarget;
            stalled_ = false;
            measured_ = true;
        }
        const double weight = 1 - std::exp(-(now - now_) / kFillSmoothing);
        smoothed_error_ += (fill - kBufferTarget - smoothed_error_) * weight;
        now_ = now;
    }
    double held_seconds() const {
        return static_cast<double>(held_.size() * kDatagramPackets - front_taken_) * 1504 /
               plan_.rate;
    }
    // The non-null packets handed out and not yet checked against the output.
    std::deque<uint64_t>& handed_out() { return handed_out_; }
    uint64_t first_after_break() const { return first_after_break_; }

    bool live() const override { return true; }
    size_t read_available(std::span<uint8_t> block) override {
        size_t filled = 0;
        for (; !buffering_ && !held_.empty() && filled + kPacket <= block.size();) {
            const uint64_t index = held_.front() * kDatagramPackets + front_taken_;
            while (encoder_.next_index() < index) encoder_.write_next(scratch_);  // lost
            if (!encoder_.write_next(block.data() + filled)) handed_out_.push_back(index);
            filled += kPacket;
            if (++front_taken_ < kDatagramPackets) continue;
            held_.pop_front();
            front_taken_ = 0;
        }
        return filled;
    }
    size_t read_packets(std::span<uint8_t> block) override {
        ADD_FAILURE() << "a live input is read without waiting";
        return read_available(block);
    }
    bool has_more_input() override {
        ADD_FAILURE() << "a live input is not asked whether it has more";
        return true;
    }
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    uint64_t bytes_taken() const override { return 0; }
    bool stalled() const override { return stalled_; }
    uint64_t timing_breaks() const override { return breaks_; }
    std::optional<double> buffer_fill_error() const override {
        if (!measured_) return std::nullopt;
        return smoothed_error_;
    }

  private:
    EncoderPlan plan_;
    EncoderModel encoder_;
    uint8_t scratch_[kPacket];
    std::deque<uint64_t> held_;  // datagram numbers
    size_t front_taken_ = 0;     // packets of the first already handed out
    uint64_t next_datagram_ = 0;
    double last_arrival_ = 0, now_ = 0, smoothed_error_ = 0;
    bool buffering_ = true, stalled_ = false, measured_ = false;
    uint64_t breaks_ = 0, first_after_break_ = 0;
    std::deque<uint64_t> handed_out_;
    uint32_t random_ = 777;
};

// Each PID's PCRs against the slots at the channel's rate: within a
// segment (a discontinuity indicator starts one) PCR - slot x ticks per slot
// is constant but for the error, the half spread of that difference.
struct PcrTrack {
    bool started = false;
    uint64_t first_slot = 0;
    int64_t first_pcr = 0;
    double low = 0, high = 0, largest_error = 0;
    std::vector<uint64_t> discontinuities;  // input indices of the packets carrying one
    uint64_t first_after_break = 0;         // input index of the first PCR after a break
    size_t count = 0;

    void add(uint64_t slot, int64_t pcr, bool discontinuity, uint64_t index, bool after_break) {
        ++count;
        if (after_break && first_after_break == 0) first_after_break = index;
        if (discontinuity) discontinuities.push_back(index);
        if (!started || discontinuity) {
            started = true;
            first_slot = slot;
            first_pcr = pcr;
            low = high = 0;
            return;
        }
        const double residual = static_cast<double>(centred(pcr - first_pcr)) -
                                static_cast<double>(slot - first_slot) * kTicksPerSlot;
        low = std::min(low, residual);
        high = std::max(high, residual);
        largest_error = std::max(largest_error, (high - low) / 2);
    }
};

struct LiveRun {
    std::map<uint16_t, PcrTrack> pcrs;
    uint64_t slots = 0;
    uint64_t nulls_while_stalled = 0, slots_while_stalled = 0;
    bool in_order = true;           // the packets handed out leave in their order
    size_t still_held = 0;          // handed out, not yet sent at the end
    size_t held_through_stall = 0;  // handed out before the stall, not sent by its end
    // The first PCR after the break on each PID: output minus encoder PCR, s.
    std::vector<double> pcr_moves_after_break;
    uint64_t first_after_break_handed = 0, first_after_break_out = 0;  // slots
    double error_low = 1, error_high = -1;                             // the smoothed fill error, s
    double fill_low = 1, fill_high = 0;                                // held, s
    double steering_sum = 0;  // ppm, sampled after the settling time
    uint64_t steering_samples = 0;
    bool fatal = false;
    std::string log, report;
    RateAdapterStatistics statistics;
};

LiveRun run_live(const EncoderPlan& plan, double seconds, double settle = 0) {
    FakeLiveSource source(plan);
    Log log(4, nullptr);
    LiveRun run;
    log.capture_to(&run.log);
    RateAdaptingSource adapter(source, kDefaultChannel, kSpacing8MHz, log);
    const size_t block_slots = 64;
    Bytes block(block_slots * kPacket);
    const auto total = static_cast<uint64_t>(seconds / kSlotSeconds);
    const auto sample_every = static_cast<uint64_t>(0.1 / kSlotSeconds / block_slots);
    for (uint64_t reads = 0; run.slots < total; ++reads) {
        const double now = static_cast<double>(run.slots) * kSlotSeconds;
        const uint64_t breaks = source.timing_breaks();
        source.advance_to(now);
        if (source.timing_breaks() != breaks) {
            run.first_after_break_handed = run.slots;
            run.held_through_stall = source.handed_out().size();
        }
        const bool stalled = source.stalled();
        if (adapter.read_packets(block) != block.size()) {
            run.fatal = true;
            break;
        }
        for (size_t k = 0; k < block_slots; ++k, ++run.slots) {
            const uint8_t* packet = &block[k * kPacket];
            if (pid_of(packet) == 0x1FFF) {
                run.nulls_while_stalled += stalled;
                continue;
            }
            const uint64_t index = index_in(packet);
            std::deque<uint64_t>& expected = source.handed_out();
            run.in_order = run.in_order && !expected.empty() && expected.front() == index;
            if (!expected.empty()) expected.pop_front();
            const bool after_break =
                source.timing_breaks() > 0 && index >= source.first_after_break();
            if (after_break && run.first_after_break_out == 0)
                run.first_after_break_out = run.slots;
            if (!has_pcr(packet)) continue;
            PcrTrack& track = run.pcrs[pid_of(packet)];
            const int64_t pcr = get_pcr(packet);
            if (after_break && track.first_after_break == 0) {
                const int64_t move = centred(pcr - encoder_pcr(index, pid_of(packet), plan.rate));
                run.pcr_moves_after_break.push_back(static_cast<double>(move) / 27e6);
            }
            track.add(run.slots, pcr, packet[5] & 0x80, index, after_break);
        }
        run.slots_while_stalled += stalled ? block_slots : 0;
        if (reads % sample_every == 0 && source.buffer_fill_error()) {
            run.error_low = std::min(run.error_low, *source.buffer_fill_error());
            run.error_high = std::max(run.error_high, *source.buffer_fill_error());
            run.fill_low = std::min(run.fill_low, source.held_seconds());
            run.fill_high = std::max(run.fill_high, source.held_seconds());
            if (now >= settle) {
                run.steering_sum += adapter.statistics().steering_ppm;
                ++run.steering_samples;
            }
        }
    }
    run.still_held = source.handed_out().size();
    run.statistics = adapter.statistics();
    log.capture_to(&run.report);
    adapter.write_report(log);
    return run;
}

struct LiveCase {
    const char* name;
    EncoderPlan plan;
    double seconds;
    double settle;    // s before the steering matches the clock offset (0: not checked)
    bool reanchored;  // after the gap
};

EncoderPlan with(double clock_offset, double jitter = 0, double loss_at = -1,
                 double pause_at = -1) {
    EncoderPlan plan;
    plan.clock_offset = clock_offset;
    plan.jitter = jitter;
    plan.loss_at = loss_at;
    plan.pause_at = pause_at;
    return plan;
}

void PrintTo(const LiveCase& c, std::ostream* out) {
    *out << c.name;
}

class LiveInputTest : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveInputTest, KeepsTheBufferBoundedAndThePcrsOnTheChannelsGrid) {
    const LiveCase& c = GetParam();
    const LiveRun run = run_live(c.plan, c.seconds, c.settle);
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(run.log, "");
    // Every packet handed out leaves, in order; at the end a PCR interval
    // and a read at most (133 + 64 packets) are still held.
    EXPECT_TRUE(run.in_order);
    EXPECT_LE(run.still_held, 400u);
    ASSERT_EQ(run.pcrs.size(), 2u);
    for (const auto& [pid, track] : run.pcrs) {
        EXPECT_LE(track.largest_error, kTicksPer500ns) << pid;
        EXPECT_GE(static_cast<double>(track.count), c.seconds / 0.040 * 0.9) << pid;
    }
    const bool gap = c.plan.loss_at >= 0 || c.plan.pause_at >= 0;
    // The stall: from the buffer's running dry to its refill, the gap's
    // length, null packets but for what was held when the input ran dry.
    const double stalled = static_cast<double>(run.slots_while_stalled) * kSlotSeconds;
    EXPECT_NEAR(stalled, gap ? c.plan.gap : 0.0, 0.1);
    EXPECT_GE(run.nulls_while_stalled + static_cast<uint64_t>(0.05 / kSlotSeconds),
              run.slots_while_stalled);
    EXPECT_EQ(run.held_through_stall, 0u);
    EXPECT_EQ(run.statistics.stalled_null_packets, run.nulls_while_stalled);
    EXPECT_EQ(run.statistics.reanchors, c.reanchored ? 1u : 0u);
    for (const auto& [pid, track] : run.pcrs) {
        // One discontinuity on each PCR PID after a re-anchor: on its first
        // PCR after the gap.
        ASSERT_EQ(track.discontinuities.size(), c.reanchored ? 1u : 0u) << pid;
        if (c.reanchored) {
            EXPECT_EQ(track.discontinuities[0], track.first_after_break) << pid;
        }
    }
    // A new timeline keeps PCR and packet together: each PCR moves by what
    // its packet waited after it arrived, well under a millisecond.
    if (c.reanchored) {
        for (const double move : run.pcr_moves_after_break) EXPECT_NEAR(move, 0.0, 0.001);
    }
    if (gap) {
        // The first packet after the gap leaves soon after it arrived.
        EXPECT_LE(run.first_after_break_out - run.first_after_break_handed,
                  static_cast<uint64_t>(0.05 / kSlotSeconds));
    }
    if (c.settle > 0) {
        // The buffer stays within 50 ms of its target all along, and the
        // schedule runs at the encoder's rate.
        EXPECT_GE(run.error_low, -0.050);
        EXPECT_LE(run.error_high, 0.050);
        EXPECT_NEAR(run.steering_sum / static_cast<double>(run.steering_samples),
                    c.plan.clock_offset * 1e6, 5.0);
    }
    EXPECT_NE(run.report.find("\tRe-anchors          : " + std::to_string(c.reanchored) + "\n"),
              std::string::npos)
        << run.report;
    EXPECT_NE(run.report.find("\tNulls while stalled : " + std::to_string(run.nulls_while_stalled) +
                              "\n"),
              std::string::npos)
        << run.report;
    std::printf(
        "[ %s ] %.0f s: fill error %+.1f..%+.1f ms (held %.1f..%.1f ms), steering mean after "
        "%.0f s %+.1f ppm, now %+.1f (min %+.1f, max %+.1f), re-anchors %" PRIu64
        ", stalled nulls %" PRIu64 ", PCR error %.1f ns\n",
        c.name, c.seconds, run.error_low * 1e3, run.error_high * 1e3, run.fill_low * 1e3,
        run.fill_high * 1e3, c.settle,
        run.steering_sum / static_cast<double>(std::max<uint64_t>(run.steering_samples, 1)),
        run.statistics.steering_ppm, run.statistics.steering_min_ppm,
        run.statistics.steering_max_ppm, run.statistics.reanchors,
        run.statistics.stalled_null_packets,
        std::max(run.pcrs.begin()->second.largest_error, run.pcrs.rbegin()->second.largest_error) /
            27e6 * 1e9);
}

INSTANTIATE_TEST_SUITE_P(
    Live, LiveInputTest,
    ::testing::Values(LiveCase{"encoder_200ppm_fast_2h", with(200e-6), 7200, 1200, false},
                      LiveCase{"encoder_200ppm_slow_2h", with(-200e-6), 7200, 1200, false},
                      LiveCase{"jitter_20ms", with(100e-6, 0.020), 120, 0, false},
                      LiveCase{"loss_3s_clock_kept", with(50e-6, 0.005, 20.0), 40, 0, false},
                      LiveCase{"pause_3s", with(-50e-6, 0.005, -1, 20.0), 40, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A payload faster than the channel stops as from a file, its delay measured
// against the steered schedule: the channel carries 6.032 of every 8 Mbit,
// so a packet leaves 0.5 s late after 0.5 / (1 - 6.032 / 8) = 2.03 s of
// output, which starts once the buffer holds 0.2 s (0.23 s in).
TEST(LiveInputStopTest, APayloadFasterThanTheChannelStops) {
    EncoderPlan plan;
    plan.rate = 8e6;
    plan.null_share = 0;
    const LiveRun run = run_live(plan, 30);
    ASSERT_TRUE(run.fatal);
    EXPECT_NEAR(static_cast<double>(run.slots) * kSlotSeconds, 0.23 + 2.03, 0.1);
    EXPECT_EQ(run.log.rfind("FATAL ERROR: the stream needs 8.000000 Mbit/s without its null "
                            "packets (its PCRs give 8.000000 Mbit/s), more than the channel's "
                            "6.032086 Mbit/s: input packet #",
                            0),
              0u)
        << run.log;
    EXPECT_NE(
        run.log.find("Nothing after output packet #" + std::to_string(run.slots) + " was sent.\n"),
        std::string::npos)
        << run.log;
}

}  // namespace
}  // namespace terramod::test
