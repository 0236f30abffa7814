#include "ops/metrics.h"

#include <charconv>
#include <cmath>
#include <string>

namespace terramod {

namespace {

double as_number(uint64_t count) {
    return static_cast<double>(count);
}
double as_number(bool flag) {
    return flag ? 1.0 : 0.0;
}

}  // namespace

std::vector<MetricEntry> metric_entries(const MetricValues& v) {
    using K = MetricKind;
    std::vector<MetricEntry> entries = {
        {"cycles_total", "Cycles transmitted", K::kCounter, as_number(v.cycles)},
        {"samples_out_total", "Samples sent, at the output rate", K::kCounter,
         as_number(v.samples_out)},
        {"packets_out_total", "Transport packets modulated", K::kCounter, as_number(v.packets_out)},
        {"output_seconds_total", "Seconds of signal sent", K::kCounter, v.output_seconds},
        {"clipped_samples_total", "Samples clipped by an integer sample type", K::kCounter,
         as_number(v.clipped_samples)},
        {"underflows_total", "Underflows the device reported", K::kCounter,
         as_number(v.underflows)},
        {"late_bursts_total", "Late bursts the device reported", K::kCounter,
         as_number(v.late_bursts)},
        {"realtime_factor", "Seconds of signal per second of run", K::kGauge, v.realtime_factor},
        {"input_packets_total", "Transport packets read from the input", K::kCounter,
         as_number(v.input_packets)},
        {"input_bytes_total", "Bytes read from the input", K::kCounter, as_number(v.input_bytes)},
        {"input_rate_bps", "The input's measured rate (bit/s)", K::kGauge, v.input_rate_bps},
        {"buffer_seconds", "The live input's jitter buffer fill (s)", K::kGauge, v.buffer_seconds},
        {"null_packets_inserted_total", "Null packets inserted", K::kCounter,
         as_number(v.null_packets_inserted)},
        {"null_packets_dropped_total", "Null packets of the input dropped", K::kCounter,
         as_number(v.null_packets_dropped)},
        {"ts_loss_events_total", "TS losses (no input)", K::kCounter, as_number(v.ts_loss_events)},
        {"ts_loss_seconds_total", "Seconds of TS loss", K::kCounter, v.ts_loss_seconds},
        {"ts_loss", "1 while the input is lost", K::kGauge, as_number(v.ts_loss)},
        {"input_switches_total", "Switches between the main and the backup input", K::kCounter,
         as_number(v.input_switches)},
        {"tr101290_sync_loss_total", "TR 101 290 1.1 TS_sync_loss", K::kCounter,
         as_number(v.sync_losses)},
        {"tr101290_sync_byte_error_total", "TR 101 290 1.2 Sync_byte_error", K::kCounter,
         as_number(v.sync_byte_errors)},
        {"tr101290_pat_error_total", "TR 101 290 1.3 PAT_error_2", K::kCounter,
         as_number(v.pat_errors)},
        {"tr101290_continuity_count_error_total", "TR 101 290 1.4 Continuity_count_error",
         K::kCounter, as_number(v.cc_errors)},
        {"tr101290_pmt_error_total", "TR 101 290 1.5 PMT_error_2", K::kCounter,
         as_number(v.pmt_errors)},
        {"tr101290_pid_error_total", "TR 101 290 1.6 PID_error", K::kCounter,
         as_number(v.pid_errors)},
        {"tr101290_transport_error_total", "TR 101 290 2.1 Transport_error", K::kCounter,
         as_number(v.transport_errors)},
        {"tr101290_crc_error_total", "TR 101 290 2.2 CRC_error", K::kCounter,
         as_number(v.crc_errors)},
        {"gain_db", "Device gain (dB)", K::kGauge, v.gain_db},
        {"frequency_hz", "Centre frequency (Hz)", K::kGauge, v.frequency_hz},
        {"mute", "1 while muted (null packets sent)", K::kGauge, as_number(v.mute)},
        {"backoff_db", "Backoff of integer sample types (dB)", K::kGauge, v.backoff_db},
        {"on_air", "1 once the first samples went out", K::kGauge, as_number(v.on_air)},
        {"start_time_seconds", "When the run started (Unix seconds)", K::kGauge, v.start_time},
    };
    if (const std::optional<SfnMetricValues>& sfn = v.sfn) {
        const std::vector<MetricEntry> sfn_entries = {
            {"sfn_mips_total", "Valid MIPs in place", K::kCounter, as_number(sfn->mips)},
            {"sfn_bad_mips_total", "MIPs not valid (CRC_32, fields)", K::kCounter,
             as_number(sfn->bad_mips)},
            {"sfn_misplaced_mips_total", "MIPs not pointing to the next mega-frame", K::kCounter,
             as_number(sfn->misplaced_mips)},
            {"sfn_megaframes_without_mip_total", "Mega-frames that carried no valid MIP",
             K::kCounter, as_number(sfn->megaframes_without_mip)},
            {"sfn_late_megaframes_total", "Mega-frames not sent: their time had passed",
             K::kCounter, as_number(sfn->late_megaframes)},
            {"sfn_muted_megaframes_total", "Mega-frames sent as silence: MIPs lost", K::kCounter,
             as_number(sfn->muted_megaframes)},
            {"sfn_muted", "1 while muted for lost MIPs", K::kGauge, as_number(sfn->muted)},
        };
        entries.insert(entries.end(), sfn_entries.begin(), sfn_entries.end());
    }
    return entries;
}

std::string format_metric_value(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // Whole numbers (counters, frequencies) in plain digits.
    if (value == std::trunc(value) && std::fabs(value) < 1e15)
        return std::to_string(static_cast<long long>(value));
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace terramod
