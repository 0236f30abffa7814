// What an operator watches and changes while a run goes on: the metrics
// (and their Prometheus endpoint), the control interface, the events file
// and the service manager's notifications. The driver calls it at fixed
// points of the run; without the options that ask for them it keeps only the
// metrics, which cost a few additions a cycle.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/run_events.h"
#include "io/ts_rate_adapter.h"
#include "io/ts_source.h"
#include "net/live_source.h"
#include "ops/control_settings.h"
#include "ops/metrics.h"
#include "tx/sample_output.h"
#include "tx/tx_types.h"

namespace terramod {

class ControlServer;
class MetricsServer;
class EventLog;
class ServiceNotifier;
class SfnGate;

// Where the input's figures come from.
struct MetricSources {
    const TsSource* input = nullptr;  // what the chain reads
    const RateAdaptingSource* adapter = nullptr;
    const LiveSource* live = nullptr;
};

// One cycle's size, for the output figures.
struct CycleSize {
    uint64_t packets = 0;
    uint64_t output_samples = 0;
    double output_rate = 0;  // Hz
};

class RunOperations {
  public:
    RunOperations(const TxConfig& config, Log& log);
    ~RunOperations();
    RunOperations(const RunOperations&) = delete;
    RunOperations& operator=(const RunOperations&) = delete;

    // Checks the addresses of the options, opens the events file and raises
    // "start": before the inputs and outputs are opened, so that the
    // events of the input are kept. False (the fatal message written) when
    // an address is malformed or the events file cannot be opened: an
    // operator who asked for them must not go on air without.
    bool prepare();
    // Declares the parameters the run can change, starts the control
    // interface and the metrics endpoint. An endpoint that cannot listen
    // (its port in use) is a warning: the transmission goes on without it.
    void start(SampleOutput& output, const MetricSources& sources, const CycleSize& size);
    // --sfn: the gate whose counts the metrics carry.
    void set_sfn_gate(const SfnGate* gate) { sfn_gate_ = gate; }

    RunEventSink* events();
    void raise(const RunEvent& event);
    RunMetrics& metrics() { return metrics_; }

    // At a cycle boundary, before the front of cycle `next_cycle`: the
    // changes asked for since the last boundary, taken (the front reads
    // muted or not as they say).
    void take_changes(int64_t next_cycle);
    // Once the cycles before `next_cycle` have gone out: the changes taken
    // made (on the output: gain, frequency, backoff) and logged "from cycle
    // #next_cycle". A run that computes a cycle's front ahead takes its
    // changes then, and makes them only after the cycle before is written.
    void apply_changes(SampleOutput& output);
    // Muted: the cycle whose changes were taken last carries null packets
    // in place of the input's.
    bool muted() const { return front_muted_; }
    // After a cycle's samples went out: the metrics, the events of the
    // device, the watchdog.
    void cycle_done(int64_t cycle, const SampleOutput& output);
    // The output stopped taking samples (a device failed, a reader went).
    void output_failed(const char* reason);
    // The end of the run, with its exit code.
    void stop(int exit_code, const std::string& reason);

  private:
    void declare_parameters(SampleOutput& output);
    void start_control();
    void start_metrics_endpoint();
    void apply(const ControlSettings::Change& change, int64_t next_cycle, SampleOutput& output);
    void update_metrics(int64_t cycle, const SampleOutput& output);
    void raise_device_events(uint64_t underflows, uint64_t late_bursts);
    void notify_status(const MetricValues& values);

    const TxConfig& config_;
    Log& log_;
    RunMetrics metrics_;
    ControlSettings settings_;
    std::unique_ptr<EventLog> events_;
    std::unique_ptr<ControlServer> control_;
    std::unique_ptr<MetricsServer> metrics_server_;
    std::unique_ptr<ServiceNotifier> notifier_;
    MetricSources sources_;
    const SfnGate* sfn_gate_ = nullptr;
    CycleSize size_;
    std::chrono::steady_clock::time_point started_;
    std::optional<std::chrono::steady_clock::time_point> last_status_;
    // Taken at the boundary before cycle taken_cycle_, not yet applied.
    std::vector<ControlSettings::Change> taken_;
    int64_t taken_cycle_ = 0;
    bool muted_ = false;        // as the log last said
    bool front_muted_ = false;  // with the changes taken
    bool on_air_ = false;
    bool events_failure_reported_ = false;
    uint64_t underflows_seen_ = 0;
    uint64_t late_bursts_seen_ = 0;
};

}  // namespace terramod
