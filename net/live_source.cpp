#include "net/live_source.h"

#include <poll.h>

#include <algorithm>
#include <cinttypes>

#include "common/utc_clock.h"
#include "dvbt/dvbt.h"
#include "io/sigmf.h"
#include "io/ts_packet.h"

namespace terramod {

namespace {

// A wait for input is cut into slices this long, for the idle task, the
// stall warning and the stop signal.
constexpr std::chrono::milliseconds kWaitSlice{50};
// The fill error is smoothed over about this long: the servo that steers by
// it must not follow the jitter of single datagrams.
constexpr double kFillSmoothingSeconds = 1.0;

double seconds_between(LiveSource::Clock::time_point from, LiveSource::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// "2026-12-09T01:02:03.456Z": to the millisecond, as SigMF writes times.
std::string utc_text(int64_t ns) {
    return iso8601_utc(ns / 1000000 * 1000000);
}

}  // namespace

LiveSource::LiveSource(std::unique_ptr<NetworkInput> main, std::unique_ptr<NetworkInput> backup,
                       const LiveSourceSettings& settings, Log& log)
    : settings_(settings), log_(log), run_start_(Clock::now()) {
    feeds_.emplace_back().input = std::move(main);
    if (backup) feeds_.emplace_back().input = std::move(backup);
    for (Feed& feed : feeds_) feed.input->start();
}

LiveSource::~LiveSource() {
    for (Feed& feed : feeds_) feed.input->stop();
}

double LiveSource::buffer_fill() const {
    PacketQueue& queue = feeds_[active_].input->queue();
    if (queue.size() == 0) return 0;
    return seconds_between(queue.oldest_arrival(), queue.newest_arrival());
}

size_t LiveSource::read_packets(std::span<uint8_t> block) {
    if (!settings_.paced) return read_waiting(block);
    const size_t taken = read_available(block);
    for (size_t position = taken; position + kPacketLength <= block.size();
         position += kPacketLength) {
        ts::write_null_packet(block.data() + position);
        ++statistics_.null_packets_out;
    }
    // The block is always full: a live input never ends a paced run.
    return interrupted_ ? taken : block.size();
}

// Not paced: the block is filled, waiting for the input as for any stream.
size_t LiveSource::read_waiting(std::span<uint8_t> block) {
    size_t filled = 0;
    Clock::time_point wait_start = Clock::now();
    bool warned = false;
    for (;;) {
        filled += take_packets(block.subspan(filled));
        if (filled == block.size()) break;
        const Clock::time_point now = Clock::now();
        choose_input(now);
        if (!warned && now - wait_start >= kStallWarning) {
            log_.write(LogLevel::kWarnings, "WARNING: no input from %s for %.1f s: waiting\n",
                       active().input->name().c_str(), seconds_between(wait_start, now));
            log_.flush();
            warned = true;
        }
        if (!wait_slice(kWaitSlice)) break;
        if (active().input->queue().size() > 0) {
            if (warned)
                log_.write(LogLevel::kWarnings, "Input from %s again after %.1f s without data\n",
                           active().input->name().c_str(),
                           seconds_between(wait_start, Clock::now()));
            warned = false;
            wait_start = Clock::now();
        }
    }
    write_messages();
    write_health_changes(Clock::now());
    return filled;
}

size_t LiveSource::read_available(std::span<uint8_t> block) {
    if (!settings_.paced) return read_waiting(block);
    if (state_ == State::kStarting && !fill_before_start()) return 0;
    const Clock::time_point now = Clock::now();
    write_messages();
    choose_input(now);
    keep_inactive_fresh(now);
    if (state_ == State::kLost && !loss_may_end(now)) {
        write_health_changes(now);
        return 0;
    }
    const size_t taken = take_packets(block);
    if (taken == 0 && block.size() >= kPacketLength) begin_loss(now);
    update_fill_error(now);
    write_health_changes(now);
    return taken;
}

bool LiveSource::has_more_input() {
    if (interrupted_) return false;
    if (settings_.paced) return true;
    // Not paced: whether a byte remains, waiting for one.
    while (active().input->queue().size() == 0) {
        choose_input(Clock::now());
        if (!wait_slice(kWaitSlice)) return false;
    }
    return true;
}

bool LiveSource::fill_before_start() {
    const auto target = settings_.buffer + settings_.start_lead;
    log_.write(LogLevel::kProgress, "Live input %s: filling the %lld ms input buffer\n",
               active().input->name().c_str(), static_cast<long long>(target.count()));
    log_.flush();
    const Clock::time_point wait_start = Clock::now();
    bool warned = false;
    for (;;) {
        write_messages();
        const Clock::time_point now = Clock::now();
        choose_input(now);
        PacketQueue& queue = active().input->queue();
        if (queue.size() > 0 && now - queue.oldest_arrival() >= target) break;
        if (!warned && queue.size() == 0 && now - wait_start >= kStallWarning) {
            log_.write(LogLevel::kWarnings, "WARNING: no input from %s for %.1f s: waiting\n",
                       active().input->name().c_str(), seconds_between(wait_start, now));
            log_.flush();
            warned = true;
        }
        if (!wait_slice(kWaitSlice)) return false;
    }
    const Clock::time_point now = Clock::now();
    statistics_.start_buffer_seconds = seconds_between(wait_start, now);
    log_.write(LogLevel::kProgress,
               "Live input %s: %.3f s buffered after %.3f s: transmission starts\n",
               active().input->name().c_str(), buffer_fill(), statistics_.start_buffer_seconds);
    log_.flush();
    state_ = State::kFlowing;
    flowing_since_ = now;
    return true;
}

size_t LiveSource::take_packets(std::span<uint8_t> block) {
    const size_t wanted = block.size() / kPacketLength;
    if (wanted == 0) return 0;
    if (popped_.size() < wanted) popped_.resize(wanted);
    std::vector<QueuedPacket>& packets = popped_;
    Feed& feed = active();
    const size_t count = feed.input->queue().pop(std::span(packets).first(wanted));
    for (size_t index = 0; index < count; ++index) {
        std::copy(packets[index].bytes.begin(), packets[index].bytes.end(),
                  block.data() + index * kPacketLength);
        feed.health.observe(std::span<const uint8_t, kPacketLength>(packets[index].bytes),
                            seconds_between(run_start_, packets[index].arrival));
    }
    if (count > 0) {
        if (!feed.first_arrival) feed.first_arrival = packets[0].arrival;
        feed.last_arrival = packets[count - 1].arrival;
    }
    feed.packets_out += count;
    statistics_.packets_out += count;
    bytes_taken_ += count * kPacketLength;
    return count * kPacketLength;
}

void LiveSource::watch_feed(Feed& feed, Clock::time_point now) {
    const uint64_t pushed = feed.input->queue().counters().packets_pushed;
    if (pushed != feed.packets_seen) {
        // Data after a gap longer than the buffer bridges starts a clean run.
        if (!feed.last_data || now - *feed.last_data > settings_.buffer) feed.clean_since = now;
        feed.last_data = now;
        feed.packets_seen = pushed;
    } else if (feed.last_data && now - *feed.last_data > settings_.buffer) {
        feed.clean_since.reset();
    }
}

// The main input is used whenever it is clean; the backup takes over after
// the main one has been silent for --switch-after (counted from the run's
// start before its first data), and the main one takes over again once it
// has been clean for a while, or at once when the backup falls silent.
void LiveSource::choose_input(Clock::time_point now) {
    for (Feed& feed : feeds_) watch_feed(feed, now);
    if (feeds_.size() < 2) return;
    const Feed& main = feeds_[0];
    const Feed& backup = feeds_[1];
    const auto silent_for = [this, now](const Feed& feed) {
        return now - feed.last_data.value_or(run_start_);
    };
    const auto has_data = [](const Feed& feed) {
        return feed.clean_since && feed.input->queue().size() > 0;
    };
    if (active_ == 0) {
        if (silent_for(main) >= settings_.switch_after && has_data(backup))
            switch_to(1, "no input from the main one");
    } else if (has_data(main) && now - *main.clean_since >= settings_.clean_before_return) {
        switch_to(0, "the main one is clean again");
    } else if (silent_for(backup) >= settings_.switch_after && has_data(main)) {
        switch_to(0, "no input from the backup");
    }
}

void LiveSource::switch_to(size_t feed_index, const char* reason) {
    const std::string& from = feeds_[active_].input->name();
    const std::string& to = feeds_[feed_index].input->name();
    log_.write(LogLevel::kWarnings, "WARNING: input switched from %s to %s at %s: %s\n",
               from.c_str(), to.c_str(), utc_text(utc_now_ns()).c_str(), reason);
    log_.flush();
    if (events_)
        events_->raise({"input_switched", {{"from", from}, {"to", to}, {"reason", reason}}});
    active_ = feed_index;
    ++statistics_.input_switches;
    ++timing_breaks_;
    // The input now in use holds about the buffer's target (it was kept
    // fresh): its packets go out at once.
    if (state_ == State::kLost) end_loss(Clock::now());
    flowing_since_ = Clock::now();
    restart_fill_measure();
}

// The input not in use keeps only its newest packets, about the buffer's
// target: a switch plays what it receives now, not what it received then.
void LiveSource::keep_inactive_fresh(Clock::time_point now) {
    for (size_t index = 0; index < feeds_.size(); ++index) {
        if (index == active_) continue;
        feeds_[index].input->queue().drop_arrived_before(now - settings_.buffer);
    }
}

TsHealthCounters LiveSource::health_counters() const {
    TsHealthCounters sum;
    for (const Feed& feed : feeds_) {
        const TsHealthCounters& counters = feed.health.counters();
        sum.sync_losses += counters.sync_losses;
        sum.sync_byte_errors += counters.sync_byte_errors;
        sum.pat_errors += counters.pat_errors;
        sum.cc_errors += counters.cc_errors;
        sum.pmt_errors += counters.pmt_errors;
        sum.pid_errors += counters.pid_errors;
        sum.transport_errors += counters.transport_errors;
        sum.crc_errors += counters.crc_errors;
    }
    return sum;
}

void LiveSource::begin_loss(Clock::time_point now) {
    if (state_ != State::kFlowing) return;
    state_ = State::kLost;
    loss_start_ = now;
    loss_start_utc_ns_ = utc_now_ns();
    data_back_.reset();
    restart_fill_measure();
    ++statistics_.ts_losses;
    log_.write(LogLevel::kWarnings, "WARNING: TS loss: no input from %s: null packets from %s\n",
               active().input->name().c_str(), utc_text(loss_start_utc_ns_).c_str());
    log_.flush();
    if (events_) events_->raise({"ts_loss_begin", {{"input", active().input->name()}}});
}

// After a loss the buffer is filled to its target again before its packets
// go out, so that the next jitter does not end in another loss at once.
bool LiveSource::loss_may_end(Clock::time_point now) {
    PacketQueue& queue = active().input->queue();
    if (queue.size() == 0) return false;
    if (now - queue.oldest_arrival() < settings_.buffer) return false;
    end_loss(now);
    return true;
}

void LiveSource::end_loss(Clock::time_point now) {
    const double duration = seconds_between(loss_start_, now);
    const int64_t end_utc_ns = loss_start_utc_ns_ + static_cast<int64_t>(duration * 1e9);
    statistics_.ts_loss_seconds += duration;
    log_.write(LogLevel::kWarnings,
               "TS loss ended: input from %s again; null packets from %s to %s (%.3f s)\n",
               active().input->name().c_str(), utc_text(loss_start_utc_ns_).c_str(),
               utc_text(end_utc_ns).c_str(), duration);
    log_.flush();
    if (events_)
        events_->raise({"ts_loss_end", {{"input", active().input->name()}, {"seconds", duration}}});
    state_ = State::kFlowing;
    flowing_since_ = now;
    ++timing_breaks_;
    restart_fill_measure();
}

// Each flow's first second goes by while the output's own buffers fill (a
// device takes its buffer's worth at once); the mean fill over the next two
// seconds is then the level the servo keeps, and the error is the smoothed
// fill's distance from it. Nothing is said before.
void LiveSource::update_fill_error(Clock::time_point now) {
    if (state_ != State::kFlowing) return;
    const auto flowing_for = now - flowing_since_;
    if (flowing_for < kFillSettling) return;
    const double fill = buffer_fill();
    if (!fill_target_) {
        fill_sum_ += fill;
        ++fill_samples_;
        if (flowing_for < kFillSettling + kFillAveraging) return;
        fill_target_ = fill_sum_ / static_cast<double>(fill_samples_);
        smoothed_fill_ = *fill_target_;
        statistics_.fill_target = *fill_target_;
        log_.write(LogLevel::kProgress,
                   "Live input %s: %.0f ms buffered with the output's buffers filled: kept "
                   "there\n",
                   active().input->name().c_str(), *fill_target_ * 1e3);
    } else {
        const double weight =
            std::min(1.0, seconds_between(*last_fill_update_, now) / kFillSmoothingSeconds);
        *smoothed_fill_ += (fill - *smoothed_fill_) * weight;
    }
    last_fill_update_ = now;
    fill_error_ = *smoothed_fill_ - *fill_target_;
    record_fill(now, fill);
}

// The fill's range counts a sample once it is a buffer's length old: the
// samples of the buffer running out before a loss (the input had stopped)
// are dropped with the loss, so the range is that of the input flowing.
void LiveSource::record_fill(Clock::time_point now, double fill) {
    recent_fills_.emplace_back(now, fill);
    while (!recent_fills_.empty() && now - recent_fills_.front().first >= settings_.buffer) {
        const double old = recent_fills_.front().second;
        statistics_.fill_min = std::min(statistics_.fill_min.value_or(old), old);
        statistics_.fill_max = std::max(statistics_.fill_max.value_or(old), old);
        statistics_.fill_last = old;
        recent_fills_.pop_front();
    }
}

void LiveSource::restart_fill_measure() {
    recent_fills_.clear();
    fill_error_.reset();
    fill_target_.reset();
    smoothed_fill_.reset();
    fill_sum_ = 0;
    fill_samples_ = 0;
    last_fill_update_.reset();
}

bool LiveSource::wait_slice(std::chrono::milliseconds slice) {
    if (idle_task_) idle_task_();
    if (settings_.wake_descriptor >= 0) {
        pollfd wake{settings_.wake_descriptor, POLLIN, 0};
        if (::poll(&wake, 1, 0) > 0) {
            interrupted_ = true;
            return false;
        }
    }
    active().input->queue().wait_until_nonempty(Clock::now() + slice);
    return true;
}

void LiveSource::write_messages() {
    for (Feed& feed : feeds_)
        for (const std::string& message : feed.input->take_messages())
            log_.write(LogLevel::kWarnings, "%s\n", message.c_str());
}

void LiveSource::write_health_changes(Clock::time_point now) {
    if (last_health_report_ && now - *last_health_report_ < kHealthReportInterval) return;
    last_health_report_ = now;
    Feed& feed = active();
    // The checks of absence run on the input's own timeline: up to the
    // oldest packet still queued (all before it have been looked at), or up
    // to now when nothing is queued (a silence).
    PacketQueue& queue = feed.input->queue();
    const Clock::time_point seen_until = queue.size() > 0 ? queue.oldest_arrival() : now;
    feed.health.advance_to(seconds_between(run_start_, std::min(seen_until, now)));
    if (!feed.health.changed_since(feed.reported_health)) return;
    feed.reported_health = feed.health.counters();
    log_.write(LogLevel::kWarnings, "Input %s: %s\n", feed.input->name().c_str(),
               feed.health.summary().c_str());
}

void LiveSource::write_report(Log& log) const {
    for (const Feed& feed : feeds_) {
        const NetworkInputCounters& counters = feed.input->counters();
        log.write(LogLevel::kProgress,
                  "Live input %s: %" PRIu64 " datagrams, %" PRIu64 " bytes, %" PRIu64
                  " packets sent on, %" PRIu64 " datagrams not transport stream\n",
                  feed.input->name().c_str(), counters.datagrams.load(), counters.bytes.load(),
                  feed.packets_out, counters.bad_datagrams.load());
        // The rate of the packets sent on, from their first arrival to their last.
        if (feed.first_arrival && feed.last_arrival > feed.first_arrival)
            log.write(LogLevel::kProgress, "  %.6f Mbit/s from the first packet to the last\n",
                      static_cast<double>(feed.packets_out) * kPacketLength * 8e-6 /
                          seconds_between(*feed.first_arrival, feed.last_arrival));
        if (counters.rtp_lost || counters.rtp_reordered || counters.rtp_duplicates)
            log.write(LogLevel::kProgress,
                      "  RTP: %" PRIu64 " datagrams lost, %" PRIu64 " put back in order, %" PRIu64
                      " duplicates\n",
                      counters.rtp_lost.load(), counters.rtp_reordered.load(),
                      counters.rtp_duplicates.load());
        const PacketQueueCounters queue = feed.input->queue().counters();
        if (queue.packets_dropped)
            log.write(LogLevel::kProgress, "  %" PRIu64 " packets dropped by a full buffer\n",
                      queue.packets_dropped);
        log.write(LogLevel::kProgress, "  %s\n", feed.health.summary().c_str());
    }
    if (!settings_.paced) return;
    // A loss still open at the end counts up to now.
    const double open_loss =
        state_ == State::kLost ? seconds_between(loss_start_, Clock::now()) : 0.0;
    log.write(
        LogLevel::kProgress, "TS losses: %" PRIu64 " (%.3f s in all); %" PRIu64 " input switches\n",
        statistics_.ts_losses, statistics_.ts_loss_seconds + open_loss, statistics_.input_switches);
    if (statistics_.fill_min)
        log.write(LogLevel::kProgress,
                  "Input buffer: kept at %.0f ms (--input-buffer %lld), held %.0f to %.0f ms "
                  "while the input flowed (%.0f ms last)\n",
                  statistics_.fill_target * 1e3, static_cast<long long>(settings_.buffer.count()),
                  *statistics_.fill_min * 1e3, *statistics_.fill_max * 1e3,
                  statistics_.fill_last * 1e3);
    if (statistics_.null_packets_out)
        log.write(LogLevel::kProgress,
                  "  %" PRIu64 " null packets sent for input that was missing\n",
                  statistics_.null_packets_out);
}

}  // namespace terramod
