#include "tx/operations.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <ctime>
#include <utility>
#include <vector>

#include "common/utc_clock.h"
#include "common/version.h"
#include "io/ts_packet.h"
#include "ops/control_server.h"
#include "ops/event_log.h"
#include "ops/metrics_server.h"
#include "ops/service_notifier.h"
#include "tx/sfn_gate.h"

namespace terramod {

namespace {

constexpr double kMaxBackoffDb = 60.0;  // as --backoff takes
// The service manager's status line is renewed this often.
constexpr std::chrono::seconds kStatusInterval{5};

ControlSettings::Check range_check(const char* name, double lowest, double highest,
                                   const char* unit) {
    return [=](double value) -> std::optional<std::string> {
        if (value >= lowest && value <= highest) return std::nullopt;
        return std::string(name) + " " + format_metric_value(value) + unit + " is outside " +
               format_metric_value(lowest) + " to " + format_metric_value(highest) + unit;
    };
}

// Within one of the device's ranges, read once at the start: the control
// thread never asks the device itself.
ControlSettings::Check frequency_check(std::vector<std::pair<double, double>> ranges) {
    if (ranges.empty()) return range_check("frequency", 1, 1e12, " Hz");
    return [ranges](double value) -> std::optional<std::string> {
        std::string listed;
        for (const auto& [lowest, highest] : ranges) {
            if (value >= lowest && value <= highest) return std::nullopt;
            if (!listed.empty()) listed += ", ";
            listed += format_metric_value(lowest) + " to " + format_metric_value(highest);
        }
        return "frequency " + format_metric_value(value) + " Hz is outside the device's range " +
               listed + " Hz";
    };
}

std::optional<std::string> flag_check(double value) {
    if (value == 0 || value == 1) return std::nullopt;
    return "mute is 0 (off) or 1 (on), not " + format_metric_value(value);
}

double unix_seconds_now() {
    return static_cast<double>(utc_now_ns()) * 1e-9;
}

}  // namespace

RunOperations::RunOperations(const TxConfig& config, Log& log)
    : config_(config),
      log_(log),
      notifier_(std::make_unique<ServiceNotifier>()),
      started_(std::chrono::steady_clock::now()) {
    metrics_.update([&](MetricValues& values) {
        values.start_time = unix_seconds_now();
        values.frequency_hz = config.frequency_hz.value_or(0);
        values.gain_db = config.gain_db.value_or(0);
        values.backoff_db = config.backoff_db;
    });
}

RunOperations::~RunOperations() = default;

bool RunOperations::prepare() {
    if (config_.control) {
        std::string error;
        if (!parse_control_endpoint(*config_.control, &error)) {
            log_.fatal("--control %s: %s\n", config_.control->c_str(), error.c_str());
            return false;
        }
    }
    if (config_.events) {
        std::string error;
        events_ = EventLog::open(*config_.events, &error);
        if (!events_) {
            log_.fatal("%s\n", error.c_str());
            return false;
        }
    }
    raise({"start",
           {{"version", std::string(kVersion)},
            {"pid", static_cast<int64_t>(::getpid())},
            {"input", config_.input_path.value_or("")},
            {"output", config_.device_args ? "device " + *config_.device_args
                                           : config_.output_path.value_or("")}}});
    return true;
}

RunEventSink* RunOperations::events() {
    return events_.get();
}

void RunOperations::raise(const RunEvent& event) {
    if (events_) events_->raise(event);
}

void RunOperations::start(SampleOutput& output, const MetricSources& sources,
                          const CycleSize& size) {
    sources_ = sources;
    size_ = size;
    declare_parameters(output);
    if (config_.control) start_control();
    if (config_.metrics_listen) start_metrics_endpoint();
}

// gain and frequency with a device, backoff with an integer sample type,
// mute always.
void RunOperations::declare_parameters(SampleOutput& output) {
    if (config_.device_args) {
        if (const auto range = output.device_gain_range()) {
            const double gain = config_.gain_db.value_or(range->first);
            metrics_.update([&](MetricValues& values) { values.gain_db = gain; });
            settings_.declare("gain", gain,
                              range_check("gain", range->first, range->second, " dB"));
        }
        settings_.declare("frequency", config_.frequency_hz.value_or(0),
                          frequency_check(output.device_frequency_ranges()));
    }
    settings_.declare("mute", 0, flag_check);
    if (output.integer_samples())
        settings_.declare("backoff", config_.backoff_db,
                          range_check("backoff", 0, kMaxBackoffDb, " dB"));
}

void RunOperations::start_control() {
    std::string error;
    const std::optional<ControlEndpoint> endpoint =
        parse_control_endpoint(*config_.control, &error);
    if (endpoint) control_ = ControlServer::start(*endpoint, settings_, metrics_, &error);
    if (!control_) {
        log_.write(LogLevel::kErrors, "WARNING: no remote control: %s -> transmitting without it\n",
                   error.c_str());
        raise({"control_unavailable", {{"reason", error}}});
        return;
    }
    log_.write(LogLevel::kProgress, "Remote control at %s\n", control_->describe().c_str());
}

void RunOperations::start_metrics_endpoint() {
    std::string error;
    metrics_server_ =
        MetricsServer::start(*config_.metrics_listen, metrics_, {std::string(kVersion)}, &error);
    if (!metrics_server_) {
        log_.write(LogLevel::kErrors,
                   "WARNING: no metrics endpoint: %s -> transmitting without it\n", error.c_str());
        raise({"metrics_unavailable", {{"reason", error}}});
        return;
    }
    log_.write(LogLevel::kProgress, "Metrics at %s\n", metrics_server_->url().c_str());
}

void RunOperations::take_changes(int64_t next_cycle) {
    std::vector<ControlSettings::Change> changes = settings_.take_changes();
    for (ControlSettings::Change& change : changes) {
        if (change.name == "mute") front_muted_ = change.value != 0;
        taken_.push_back(std::move(change));
    }
    taken_cycle_ = next_cycle;
}

void RunOperations::apply_changes(SampleOutput& output) {
    const std::vector<ControlSettings::Change> changes = std::move(taken_);
    taken_.clear();
    for (const ControlSettings::Change& change : changes) apply(change, taken_cycle_, output);
}

void RunOperations::apply(const ControlSettings::Change& change, int64_t next_cycle,
                          SampleOutput& output) {
    const MetricValues now = metrics_.snapshot();
    double previous = 0;
    std::optional<std::string> refused;
    const char* unit = "";
    if (change.name == "gain") {
        previous = now.gain_db;
        unit = " dB";
        refused = output.set_device_gain(change.value);
        if (!refused) metrics_.update([&](MetricValues& v) { v.gain_db = change.value; });
    } else if (change.name == "frequency") {
        previous = now.frequency_hz;
        unit = " Hz";
        refused = output.set_device_frequency(change.value);
        if (!refused) metrics_.update([&](MetricValues& v) { v.frequency_hz = change.value; });
    } else if (change.name == "backoff") {
        previous = now.backoff_db;
        unit = " dB";
        refused = output.set_backoff(change.value);
        if (!refused) metrics_.update([&](MetricValues& v) { v.backoff_db = change.value; });
    } else if (change.name == "mute") {
        previous = muted_ ? 1 : 0;
        muted_ = change.value != 0;
        metrics_.update([&](MetricValues& v) { v.mute = muted_; });
    }
    const std::string old_text = format_metric_value(previous);
    const std::string new_text = format_metric_value(change.value);
    if (refused) {
        settings_.settle(change.name, previous);
        log_.write(LogLevel::kErrors, "WARNING: control: %s %s%s refused: %s; it stays %s%s\n",
                   change.name.c_str(), new_text.c_str(), unit, refused->c_str(), old_text.c_str(),
                   unit);
        raise({"parameter_refused",
               {{"name", change.name}, {"value", change.value}, {"reason", *refused}}});
        return;
    }
    log_.write(LogLevel::kWarnings,
               "Control: %s set to %s%s (was %s%s) from cycle #%" PRId64 "%s\n",
               change.name.c_str(), new_text.c_str(), unit, old_text.c_str(), unit, next_cycle,
               change.name == "mute"
                   ? (muted_ ? ": null packets in place of the input" : ": the input again")
                   : "");
    raise({"parameter_changed",
           {{"name", change.name},
            {"value", change.value},
            {"previous", previous},
            {"cycle", static_cast<int64_t>(next_cycle)}}});
}

void RunOperations::cycle_done(int64_t cycle, const SampleOutput& output) {
    update_metrics(cycle, output);
    if (!on_air_) {
        on_air_ = true;
        metrics_.update([](MetricValues& v) { v.on_air = true; });
        raise({"on_air", {}});
        notifier_->ready();
    }
    notifier_->watchdog();
    const std::string notifier_warning = notifier_->take_warning();
    if (!notifier_warning.empty())
        log_.write(LogLevel::kErrors, "WARNING: %s\n", notifier_warning.c_str());
    const auto now = std::chrono::steady_clock::now();
    if (!last_status_ || now - *last_status_ >= kStatusInterval) {
        last_status_ = now;
        notify_status(metrics_.snapshot());
    }
    if (events_ && !events_failure_reported_ && events_->lost() > 0) {
        events_failure_reported_ = true;
        log_.write(LogLevel::kErrors, "WARNING: events to %s lost: %s\n", events_->target().c_str(),
                   events_->first_error().c_str());
    }
}

void RunOperations::update_metrics(int64_t cycle, const SampleOutput& output) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const uint64_t underflows = output.device_underflows();
    const uint64_t late_bursts = output.device_late_bursts();
    metrics_.update([&](MetricValues& v) {
        v.cycles = static_cast<uint64_t>(cycle);
        v.samples_out = v.cycles * size_.output_samples;
        v.packets_out = v.cycles * size_.packets;
        v.output_seconds =
            size_.output_rate > 0 ? static_cast<double>(v.samples_out) / size_.output_rate : 0;
        v.realtime_factor = elapsed > 0 ? v.output_seconds / elapsed : 0;
        v.clipped_samples = static_cast<uint64_t>(output.samples_clipped());
        v.underflows = underflows;
        v.late_bursts = late_bursts;
        if (sfn_gate_) v.sfn = sfn_gate_->counts();
        if (const RateAdaptingSource* adapter = sources_.adapter) {
            const RateAdapterStatistics& stats = adapter->statistics();
            v.input_packets = stats.input_packets;
            v.input_bytes = stats.input_bytes;
            v.input_rate_bps = stats.input_rate;
            v.null_packets_inserted = stats.null_packets_inserted;
            v.null_packets_dropped = stats.null_packets_dropped;
        } else if (sources_.input) {
            v.input_bytes = sources_.input->bytes_taken();
            v.input_packets = v.input_bytes / ts::kPacketSize;
            // A file or stream: the rate it was read at.
            v.input_rate_bps = elapsed > 0 ? static_cast<double>(v.input_bytes) * 8 / elapsed : 0;
        }
        if (const LiveSource* live = sources_.live) {
            const LiveSourceStatistics& stats = live->statistics();
            v.buffer_seconds = live->buffer_fill();
            v.input_rate_bps = live->input_rate();
            v.ts_loss_events = stats.ts_losses;
            v.ts_loss_seconds = stats.ts_loss_seconds;
            v.ts_loss = live->in_loss();
            v.input_switches = stats.input_switches;
            v.null_packets_inserted += stats.null_packets_out;
            const TsHealthCounters health = live->health_counters();
            v.sync_losses = health.sync_losses;
            v.sync_byte_errors = health.sync_byte_errors;
            v.pat_errors = health.pat_errors;
            v.cc_errors = health.cc_errors;
            v.pmt_errors = health.pmt_errors;
            v.pid_errors = health.pid_errors;
            v.transport_errors = health.transport_errors;
            v.crc_errors = health.crc_errors;
        }
    });
    raise_device_events(underflows, late_bursts);
}

void RunOperations::raise_device_events(uint64_t underflows, uint64_t late_bursts) {
    if (underflows > underflows_seen_)
        raise({"underflow",
               {{"count", static_cast<int64_t>(underflows - underflows_seen_)},
                {"total", static_cast<int64_t>(underflows)}}});
    if (late_bursts > late_bursts_seen_)
        raise({"late_burst",
               {{"count", static_cast<int64_t>(late_bursts - late_bursts_seen_)},
                {"total", static_cast<int64_t>(late_bursts)}}});
    underflows_seen_ = underflows;
    late_bursts_seen_ = late_bursts;
}

void RunOperations::notify_status(const MetricValues& v) {
    if (!notifier_->enabled()) return;
    char text[200];
    std::snprintf(text, sizeof text,
                  "on air %.0f s, input %.3f Mbit/s, buffer %.0f ms, underflows %" PRIu64
                  ", TS losses %" PRIu64 "%s",
                  v.output_seconds, v.input_rate_bps * 1e-6, v.buffer_seconds * 1e3, v.underflows,
                  v.ts_loss_events, v.mute ? ", muted" : "");
    notifier_->status(text);
}

void RunOperations::output_failed(const char* reason) {
    raise({"device_error", {{"reason", std::string(reason)}}});
}

void RunOperations::stop(int exit_code, const std::string& reason) {
    notifier_->stopping();
    raise({"stop", {{"exit_code", static_cast<int64_t>(exit_code)}, {"reason", reason}}});
    // The endpoints go before the objects they read.
    control_.reset();
    metrics_server_.reset();
}

}  // namespace terramod
