// The counters and gauges of a run, in one object: the driver updates it
// between cycles; the status line, the metrics endpoint, the control
// interface and the end report read it, from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace terramod {

// A single-frequency network transmitter's (--sfn).
struct SfnMetricValues {
    uint64_t mips = 0;                    // valid MIPs in place
    uint64_t bad_mips = 0;                // CRC or fields wrong
    uint64_t misplaced_mips = 0;          // pointing elsewhere than the next mega-frame
    uint64_t megaframes_without_mip = 0;  // lost MIPs
    uint64_t late_megaframes = 0;         // not sent: the device's clock had passed them
    uint64_t muted_megaframes = 0;        // silence: MIPs lost
    bool muted = false;                   // muted now
};

struct MetricValues {
    // Output.
    uint64_t cycles = 0;
    uint64_t samples_out = 0;      // at the output rate
    uint64_t packets_out = 0;      // transport packets modulated
    double output_seconds = 0;     // of signal sent
    uint64_t clipped_samples = 0;  // integer sample types
    uint64_t underflows = 0;       // reported by the device
    uint64_t late_bursts = 0;      // reported by the device
    double realtime_factor = 0;    // signal seconds per wall-clock second
    // Input.
    uint64_t input_packets = 0;
    uint64_t input_bytes = 0;
    double input_rate_bps = 0;  // measured, 0 until known
    double buffer_seconds = 0;  // a live input's jitter buffer
    uint64_t null_packets_inserted = 0;
    uint64_t null_packets_dropped = 0;
    uint64_t ts_loss_events = 0;
    double ts_loss_seconds = 0;
    bool ts_loss = false;  // a TS loss now
    uint64_t input_switches = 0;
    // ETSI TR 101 290 of the input (live inputs).
    uint64_t sync_losses = 0;
    uint64_t sync_byte_errors = 0;
    uint64_t pat_errors = 0;
    uint64_t cc_errors = 0;
    uint64_t pmt_errors = 0;
    uint64_t pid_errors = 0;
    uint64_t transport_errors = 0;
    uint64_t crc_errors = 0;
    // Parameters now.
    double gain_db = 0;
    double frequency_hz = 0;
    bool mute = false;
    double backoff_db = 0;
    bool on_air = false;
    double start_time = 0;               // Unix seconds
    std::optional<SfnMetricValues> sfn;  // --sfn runs only
};

enum class MetricKind { kCounter, kGauge };

// One metric as the endpoint and the control interface name it: the
// Prometheus name is "terramod_" + name (+ "_total" for counters is part of
// name already).
struct MetricEntry {
    const char* name;  // "underflows_total", "buffer_seconds", ...
    const char* help;
    MetricKind kind;
    double value;
};

// Every metric of `values`, in a fixed order.
std::vector<MetricEntry> metric_entries(const MetricValues& values);

class RunMetrics {
  public:
    // Changes the values under the lock (the driver, between cycles).
    void update(const std::function<void(MetricValues&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(values_);
    }
    MetricValues snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }

  private:
    mutable std::mutex mutex_;
    MetricValues values_;
};

// A number as the control interface and the metrics print it: the shortest
// text that reads back as the same double ("20", "474000000", "0.25").
std::string format_metric_value(double value);

}  // namespace terramod
