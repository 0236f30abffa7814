#include "tx/run_sfn.h"

#include <cmath>

#include "sfn/megaframe_schedule.h"

namespace terramod {

bool sfn_settings_usable(const TxConfig& config, Log& log) {
    const char* conflict = config.adapt_rate               ? "--adapt-rate"
                           : config.loop                   ? "--loop"
                           : config.hierarchical_streams() ? "--lp-input"
                                                           : nullptr;
    if (conflict) {
        log.fatal("--sfn cannot run with %s: the mega-frames of the input must stay as they are\n",
                  conflict);
        return false;
    }
    return true;
}

int64_t sfn_search_limit() {
    DvbtSettings most;
    most.mode = kMode2k;
    most.constellation = kQam64;
    most.guard_interval = kGuard1_32;
    most.code_rate = kRate7_8;
    return 2 * packets_per_megaframe(most);
}

int64_t run_bandwidth_hz(const TxConfig& config) {
    static constexpr int64_t kSpacingHz[] = {6'000'000, 7'000'000, 8'000'000};
    if (config.bandwidth_hz) return std::llround(*config.bandwidth_hz);
    return kSpacingHz[config.channel_spacing];
}

uint32_t tps_mip_for_run(const TxConfig& config) {
    return tps_mip_for(dvbt_settings(config), mip_bandwidth_of(run_bandwidth_hz(config)));
}

namespace {

const char* bandwidth_words(MipBandwidth bandwidth) {
    static constexpr const char* kNames[] = {"7 MHz", "8 MHz", "6 MHz", "another bandwidth"};
    return kNames[bandwidth];
}

std::string settings_words(OfdmMode mode, Constellation constellation, Hierarchy hierarchy,
                           CodeRate code_rate, GuardInterval guard, MipBandwidth bandwidth) {
    return std::string(kModeNames[mode]) + " " + kConstellationNames[constellation] + " alpha " +
           kHierarchyNames[hierarchy] + ", code rate " + kCodeRateNames[code_rate] +
           ", guard interval " + kGuardIntervalNames[guard] + ", " + bandwidth_words(bandwidth);
}

}  // namespace

std::string tps_mip_words(uint32_t tps_mip) {
    const std::optional<TpsMipFields> fields = tps_mip_fields(tps_mip);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", tps_mip);
    if (!fields) return std::string("reserved values (tps_mip ") + hex + ")";
    return settings_words(fields->mode, fields->constellation, fields->hierarchy, fields->code_rate,
                          fields->guard_interval, fields->bandwidth) +
           " (tps_mip " + hex + ")";
}

bool check_or_take_mip_settings(TxConfig& config, const Mip& mip, Log& log) {
    if (config.sfn_take_settings) {
        const std::optional<TpsMipFields> fields = tps_mip_fields(mip.tps_mip);
        if (!fields) {
            log.fatal("SFN: the MIP's TPS hold %s: no settings to take\n",
                      tps_mip_words(mip.tps_mip).c_str());
            return false;
        }
        config.mode = fields->mode;
        config.constellation = fields->constellation;
        config.hierarchy = fields->hierarchy;
        config.code_rate = fields->code_rate;
        config.guard_interval = fields->guard_interval;
        log.write(LogLevel::kProgress, "SFN: settings taken from the MIP: %s\n",
                  tps_mip_words(mip.tps_mip).c_str());
    }
    const uint32_t expected = tps_mip_for_run(config);
    if (expected == mip.tps_mip) return true;
    log.fatal("SFN: the MIP's TPS (%s) differ from the settings (%s)\n",
              tps_mip_words(mip.tps_mip).c_str(), tps_mip_words(expected).c_str());
    return false;
}

int64_t first_emission_ns(const TxConfig& config, const Mip& mip, int64_t now_ns) {
    const int64_t after_pulse =
        mip_emission_after_pulse_ns(mip, config.tx_id, std::llround(config.sfn_offset_s * 1e9));
    if (config.time_source_fixed_s)
        return std::llround(*config.time_source_fixed_s * 1e9) + after_pulse;
    // The MIP arrives about when the adapter stamped it: the pulse is the one
    // that puts the mega-frame's start at the adapter (pulse + STS) nearest
    // to now.
    const int64_t sts_ns = static_cast<int64_t>(mip.sts_100ns) * 100;
    return emission_nearest(after_pulse, 0, now_ns + after_pulse - sts_ns);
}

}  // namespace terramod
