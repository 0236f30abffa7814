#include "tx/sfn_gate.h"

#include <cinttypes>

#include "io/sigmf.h"
#include "tx/run_sfn.h"

namespace terramod {

namespace {

// Warnings of one kind written before they are only counted.
constexpr int64_t kReportedWarnings = 5;

}  // namespace

SfnGate::SfnGate(const MegaframeSchedule& schedule, MegaframeAligner& aligner, SampleOutput& output,
                 const TxConfig& config, Log& log, RunEventSink* events)
    : schedule_(schedule),
      aligner_(aligner),
      output_(output),
      config_(config),
      log_(log),
      events_(events),
      device_(config.device_args.has_value()) {}

void SfnGate::start(const Mip& first_mip) {
    released_ = aligner_counts();
    if (device_) {
        base_gain_db_ = config_.gain_db;
        if (!base_gain_db_)
            if (const auto range = output_.device_gain_range()) base_gain_db_ = range->first;
    }
    apply_functions(first_mip);
}

void SfnGate::raise(RunEvent event) {
    if (events_) events_->raise(event);
}

SfnGate::ReadMark SfnGate::aligner_counts() const {
    return {mips_read_, aligner_.mips_in_place(), aligner_.bad_mips(), aligner_.misplaced_mips(),
            aligner_.mip_losses()};
}

SfnGate::ReadMark SfnGate::note_cycle_read() {
    for (auto& carried : aligner_.take_mips()) {
        read_mips_.push_back(std::move(carried));
        ++mips_read_;
    }
    return aligner_counts();
}

void SfnGate::take_new_mips() {
    for (; mips_scheduled_ < released_.mips && !read_mips_.empty(); ++mips_scheduled_) {
        const auto [carried_in, mip] = read_mips_.front();
        read_mips_.pop_front();
        if (schedule_.take_mip(carried_in, mip)) continue;
        if (++tps_warnings_ <= kReportedWarnings)
            log_.write(LogLevel::kWarnings,
                       "WARNING: SFN: the MIP of mega-frame %" PRId64
                       " has other TPS (tps_mip 0x%08X) than the settings (0x%08X): ignored\n",
                       carried_in, static_cast<unsigned>(mip.tps_mip),
                       static_cast<unsigned>(tps_mip_for_run(config_)));
    }
}

MegaframeDecision SfnGate::decide(int64_t megaframe, std::optional<int64_t> device_time_ns) {
    take_new_mips();
    MegaframeDecision decision = schedule_.decide(megaframe, device_time_ns);
    switch (decision.fate) {
        case MegaframeFate::kSend:
            note_mute(megaframe, false);
            if (decision.mip) apply_functions(*decision.mip);
            break;
        case MegaframeFate::kLate:
            note_mute(megaframe, false);
            note_late(megaframe, decision, device_time_ns.value_or(0));
            break;
        case MegaframeFate::kMute:
            note_mute(megaframe, true);
            break;
        case MegaframeFate::kStop:
            log_.fatal("SFN: no valid MIP for more than a mega-frame before mega-frame %" PRId64
                       ": transmission stopped (--mip-loss stop)\n",
                       megaframe);
            raise({"sfn_stop", {{"megaframe", megaframe}}});
            break;
    }
    return decision;
}

void SfnGate::note_late(int64_t megaframe, const MegaframeDecision& decision,
                        int64_t device_time_ns) {
    const int64_t late_by =
        device_time_ns + MegaframeSchedule::kSendMarginNs - decision.emission_ns;
    if (++late_warnings_ <= kReportedWarnings)
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: mega-frame %" PRId64
                   " would leave late (its time %s, the device at %s): not sent\n",
                   megaframe, iso8601_utc(decision.emission_ns).c_str(),
                   iso8601_utc(device_time_ns).c_str());
    raise({"sfn_megaframe_late", {{"megaframe", megaframe}, {"late_ns", late_by}}});
}

void SfnGate::note_mute(int64_t megaframe, bool muted) {
    if (muted == muted_) return;
    muted_ = muted;
    if (muted) {
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: no valid MIP for more than a mega-frame: muted from "
                   "mega-frame %" PRId64 " (--mip-loss mute)\n",
                   megaframe);
        raise({"sfn_mute_begin", {{"megaframe", megaframe}}});
    } else {
        log_.write(LogLevel::kWarnings,
                   "SFN: MIPs are back: on air again from mega-frame %" PRId64 "\n", megaframe);
        raise({"sfn_mute_end", {{"megaframe", megaframe}}});
    }
}

void SfnGate::apply_functions(const Mip& mip) {
    const MipTransmitterFunctions functions = functions_for(mip, config_.tx_id);
    if (functions.cell_id && functions.cell_id != config_.cell_id && !cell_id_warned_) {
        cell_id_warned_ = true;
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: the MIP addresses cell id %u, the TPS carry %s: a restart "
                   "takes it\n",
                   static_cast<unsigned>(*functions.cell_id),
                   config_.cell_id ? std::to_string(*config_.cell_id).c_str() : "none");
    }
    if (!functions.frequency_offset_hz && !functions.power_decidbm) return;
    if (!device_) {
        if (!functions_unapplied_noted_)
            log_.write(LogLevel::kProgress,
                       "SFN: the MIP's frequency offset and power apply to a device only\n");
        functions_unapplied_noted_ = true;
        return;
    }
    if (functions.frequency_offset_hz) apply_frequency_offset(*functions.frequency_offset_hz);
    if (functions.power_decidbm) apply_power(*functions.power_decidbm);
}

void SfnGate::apply_frequency_offset(int64_t offset_hz) {
    if (frequency_offset_hz_ == offset_hz || !config_.frequency_hz) return;
    frequency_offset_hz_ = offset_hz;
    const double frequency = *config_.frequency_hz + static_cast<double>(offset_hz);
    if (const std::optional<std::string> error = output_.set_device_frequency(frequency)) {
        log_.write(LogLevel::kWarnings,
                   "WARNING: SFN: the MIP's frequency offset %+" PRId64 " Hz not set: %s\n",
                   offset_hz, error->c_str());
        return;
    }
    log_.write(LogLevel::kProgress, "SFN: frequency offset %+" PRId64 " Hz from the MIP: %.0f Hz\n",
               offset_hz, frequency);
    raise({"sfn_frequency_offset", {{"offset_hz", offset_hz}, {"frequency_hz", frequency}}});
}

// tx_power is absolute, the device's gain is not: the first MIP's power is
// taken as the gain the run started with, later ones move the gain by their
// difference.
void SfnGate::apply_power(int64_t power_decidbm) {
    if (power_ == power_decidbm || !base_gain_db_) return;
    power_ = power_decidbm;
    if (!reference_power_) {
        reference_power_ = power_decidbm;
        log_.write(LogLevel::kProgress,
                   "SFN: tx_power %.1f dBm from the MIP taken as the gain of %.1f dB\n",
                   static_cast<double>(power_decidbm) / 10, *base_gain_db_);
        return;
    }
    const double gain =
        *base_gain_db_ + static_cast<double>(power_decidbm - *reference_power_) / 10;
    if (const std::optional<std::string> error = output_.set_device_gain(gain)) {
        log_.write(LogLevel::kWarnings, "WARNING: SFN: the MIP's tx_power %.1f dBm not set: %s\n",
                   static_cast<double>(power_decidbm) / 10, error->c_str());
        return;
    }
    log_.write(LogLevel::kProgress, "SFN: tx_power %.1f dBm from the MIP: gain %.1f dB\n",
               static_cast<double>(power_decidbm) / 10, gain);
    raise(
        {"sfn_power", {{"power_dbm", static_cast<double>(power_decidbm) / 10}, {"gain_db", gain}}});
}

SfnMetricValues SfnGate::counts() const {
    SfnMetricValues counts;
    counts.mips = static_cast<uint64_t>(released_.in_place);
    counts.bad_mips = static_cast<uint64_t>(released_.bad);
    counts.misplaced_mips = static_cast<uint64_t>(released_.misplaced);
    counts.megaframes_without_mip = static_cast<uint64_t>(released_.losses);
    counts.late_megaframes = static_cast<uint64_t>(schedule_.late_megaframes());
    counts.muted_megaframes = static_cast<uint64_t>(schedule_.muted_megaframes());
    counts.muted = muted_;
    return counts;
}

void SfnGate::report_end() {
    take_new_mips();
    log_.write(LogLevel::kProgress,
               "SFN: %" PRId64 " MIPs in place, %" PRId64 " not valid, %" PRId64
               " misplaced, %" PRId64 " with other TPS, %" PRId64
               " mega-frames without one; %" PRId64 " mega-frames late, %" PRId64 " muted\n",
               released_.in_place, released_.bad, released_.misplaced, schedule_.other_tps_mips(),
               released_.losses, schedule_.late_megaframes(), schedule_.muted_megaframes());
    if (schedule_.moved_megaframes() > 0)
        log_.write(LogLevel::kProgress,
                   "SFN: %" PRId64 " mega-frames moved by their MIP's time, at most %" PRId64
                   " ns\n",
                   schedule_.moved_megaframes(), schedule_.largest_move_ns());
}

}  // namespace terramod
