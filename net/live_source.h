// A live transport stream from the network: the main input, an optional
// backup, and what keeps a paced run on air.
//
// In a paced run (the output goes at the signal's real rate: a device, or
// --realtime) the input goes through a jitter buffer: transmission starts
// once the buffer holds its target (plus what the output takes ahead at its
// start), reads never wait, and when the buffer runs dry the run goes on with
// null packets: a "TS loss", logged with its start, end and duration. When
// data returns, the buffer is filled again to its target before its packets
// go out. A backup input takes over after a set time of loss on the main one
// and hands back once the main one has been clean for a while.
//
// In a run that is not paced (a file output), reads wait for the input like
// any stream's, and a stop signal ends them.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/run_events.h"
#include "io/ts_health.h"
#include "io/ts_source.h"
#include "net/network_input.h"

namespace terramod {

struct LiveSourceSettings {
    bool paced = false;
    // The jitter buffer's target.
    std::chrono::milliseconds buffer{200};
    // What the output takes ahead of the air at its start (a device's
    // priming): added to the first filling, so the target remains after it.
    std::chrono::milliseconds start_lead{0};
    // Loss on the main input after which the backup takes over, and how
    // long the main one must then be clean before it is used again.
    std::chrono::milliseconds switch_after{1000};
    std::chrono::milliseconds clean_before_return{5000};
    // A stop signal's wake descriptor (or -1): every wait ends when it is
    // readable.
    int wake_descriptor = -1;
};

// The figures of a run, for the report and the tests.
struct LiveSourceStatistics {
    uint64_t packets_out = 0;         // real packets handed out
    uint64_t null_packets_out = 0;    // null packets stuffed in read_packets
    uint64_t ts_losses = 0;           // TS loss alarms raised
    double ts_loss_seconds = 0;       // their total length (ended ones)
    uint64_t input_switches = 0;      // to the backup and back
    double start_buffer_seconds = 0;  // how long the first filling took
    // The buffer's fill while the input flowed (seconds), from the start's
    // settling on: the least, the most and the last seen while flowing.
    std::optional<double> fill_min, fill_max;
    double fill_last = 0;
    double fill_target = 0;  // the level kept (the latest flow's)
};

class LiveSource : public TsSource {
  public:
    using Clock = std::chrono::steady_clock;

    // Starts the inputs' receive threads. `backup` may be null.
    LiveSource(std::unique_ptr<NetworkInput> main, std::unique_ptr<NetworkInput> backup,
               const LiveSourceSettings& settings, Log& log);
    ~LiveSource() override;
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    size_t read_packets(std::span<uint8_t> block) override;
    size_t read_available(std::span<uint8_t> block) override;
    bool has_more_input() override;
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    uint64_t bytes_taken() const override { return bytes_taken_; }
    void set_idle_task(std::function<void()> task) override { idle_task_ = std::move(task); }
    bool live() const override { return settings_.paced; }
    bool stalled() const override { return state_ != State::kFlowing; }
    uint64_t timing_breaks() const override { return timing_breaks_; }
    std::optional<double> buffer_fill_error() const override { return fill_error_; }

    // True once the wake descriptor ended a wait.
    bool interrupted() const { return interrupted_; }
    const LiveSourceStatistics& statistics() const { return statistics_; }
    // The buffer's fill now, in seconds (the span of arrival times it holds).
    double buffer_fill() const;
    // The end-of-run report: each input's figures, TS losses, health.
    void write_report(Log& log) const;
    // TS loss and input switches are raised as events too.
    void set_event_sink(RunEventSink* sink) { events_ = sink; }
    // The input's health counters (every input's, added up) and the rate
    // measured on the input in use (bit/s).
    TsHealthCounters health_counters() const;
    double input_rate() const { return active().health.measured_rate(); }
    // A TS loss now (null packets in place of the input's).
    bool in_loss() const { return state_ == State::kLost; }

    // A wait this long for a run that is not paced (or for the first
    // filling) is warned of.
    static constexpr std::chrono::milliseconds kStallWarning{1000};
    // The fill is measured once the start's burst (the output's buffers
    // filling at once) is over, and its level set from this long after it.
    static constexpr std::chrono::seconds kFillSettling{1};
    static constexpr std::chrono::seconds kFillAveraging{2};
    // The health line is written at most this often while it changes.
    static constexpr std::chrono::seconds kHealthReportInterval{1};

  private:
    enum class State { kStarting, kFlowing, kLost };

    // One input and what is watched of it.
    struct Feed {
        std::unique_ptr<NetworkInput> input;
        TsHealthMonitor health;
        uint64_t packets_seen = 0;                     // the queue's push count at the last look
        std::optional<Clock::time_point> last_data;    // when the push count last grew
        std::optional<Clock::time_point> clean_since;  // data without a long gap since
        TsHealthCounters reported_health{};
        uint64_t packets_out = 0;
        std::optional<Clock::time_point> first_arrival;  // of the packets sent on
        Clock::time_point last_arrival;
    };

    // Waits for the first filling (a paced run's start); false when a stop
    // signal ended the wait.
    bool fill_before_start();
    size_t read_waiting(std::span<uint8_t> block);
    // Pops up to the block's packets from the input in use; counts them.
    size_t take_packets(std::span<uint8_t> block);
    // Watches both inputs and switches between them when the rules say so.
    void choose_input(Clock::time_point now);
    void watch_feed(Feed& feed, Clock::time_point now);
    void switch_to(size_t feed_index, const char* reason);
    // The jitter buffer in a paced run: a TS loss begins, or ends once the
    // buffer is filled again.
    void begin_loss(Clock::time_point now);
    bool loss_may_end(Clock::time_point now);
    void end_loss(Clock::time_point now);
    void update_fill_error(Clock::time_point now);
    void restart_fill_measure();
    void record_fill(Clock::time_point now, double fill);
    // Sleeps up to `slice` for data on the input in use or the wake
    // descriptor; false once the wake descriptor is readable.
    bool wait_slice(std::chrono::milliseconds slice);
    void write_messages();
    void write_health_changes(Clock::time_point now);
    void keep_inactive_fresh(Clock::time_point now);

    Feed& active() { return feeds_[active_]; }
    const Feed& active() const { return feeds_[active_]; }

    LiveSourceSettings settings_;
    Log& log_;
    std::vector<Feed> feeds_;  // [0] main, [1] backup when given
    size_t active_ = 0;
    State state_ = State::kStarting;
    std::function<void()> idle_task_;
    RunEventSink* events_ = nullptr;
    bool interrupted_ = false;
    uint64_t bytes_taken_ = 0;
    uint64_t timing_breaks_ = 0;
    std::optional<double> fill_error_;
    std::optional<double> fill_target_;    // the level kept, in seconds
    std::optional<double> smoothed_fill_;  // seconds
    double fill_sum_ = 0;                  // the samples that set the level
    uint64_t fill_samples_ = 0;
    std::deque<std::pair<Clock::time_point, double>> recent_fills_;  // not yet in the range
    std::optional<Clock::time_point> last_fill_update_;
    // The open TS loss: when it began (both clocks) and when data came back.
    Clock::time_point loss_start_;
    int64_t loss_start_utc_ns_ = 0;
    std::optional<Clock::time_point> data_back_;
    std::optional<Clock::time_point> last_health_report_;
    Clock::time_point run_start_;
    Clock::time_point flowing_since_;  // the start of the latest flow
    LiveSourceStatistics statistics_;
    std::vector<QueuedPacket> popped_;  // take_packets' room, kept between reads
};

}  // namespace terramod
