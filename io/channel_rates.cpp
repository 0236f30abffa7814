#include "io/channel_rates.h"

#include <algorithm>
#include <cstdio>

namespace terramod {

namespace {

// The same constants as the parameter report: output sampling rate by channel
// spacing and the transport stream share of a Reed-Solomon packet.
constexpr double kSamplingRate[] = {6857142.857142857, 8000000.0, 9142857.142857144};
constexpr double kPayloadShare = 188.0 / 204.0;
constexpr const char* kConstellationOption[] = {"4", "16", "64"};

}  // namespace

ChannelBand channel_band(ChannelSpacing spacing) {
    return {kSamplingRate[spacing], kChannelSpacingNames[spacing]};
}

ChannelBand channel_band_of_bandwidth(double bandwidth_hz) {
    char name[32];
    std::snprintf(name, sizeof name, "%g MHz", bandwidth_hz * 1e-6);
    return {bandwidth_hz * 8 / 7, name};
}

double useful_bit_rate(OfdmMode mode, Constellation constellation, CodeRate code_rate,
                       GuardInterval guard_interval, double sampling_rate) {
    const double fft = fft_size[mode];
    const double guard = guard_fraction[guard_interval];
    const double data_share = static_cast<double>(data_carrier_count[mode]) / fft;
    return data_share * sampling_rate * kPayloadShare * code_rate_value[code_rate] *
           bits_per_cell[constellation] / (guard + 1);
}

double useful_bit_rate(OfdmMode mode, Constellation constellation, CodeRate code_rate,
                       GuardInterval guard_interval, ChannelSpacing spacing) {
    return useful_bit_rate(mode, constellation, code_rate, guard_interval, kSamplingRate[spacing]);
}

std::vector<ChannelSetting> all_settings(ChannelSpacing spacing) {
    return all_settings(channel_band(spacing));
}

std::vector<ChannelSetting> nearest_settings_above(double needed_rate, ChannelSpacing spacing,
                                                   size_t count) {
    return nearest_settings_above(needed_rate, channel_band(spacing), count);
}

std::vector<ChannelSetting> all_settings(const ChannelBand& band) {
    std::vector<ChannelSetting> settings;
    for (int32_t mode = kMode2k; mode <= kMode8k; ++mode)
        for (int32_t constellation = kQpsk; constellation <= kQam64; ++constellation)
            for (int32_t rate = kRate1_2; rate <= kRate7_8; ++rate)
                for (int32_t guard = kGuard1_4; guard <= kGuard1_32; ++guard) {
                    const ChannelSetting setting{
                        static_cast<OfdmMode>(mode), static_cast<Constellation>(constellation),
                        static_cast<CodeRate>(rate), static_cast<GuardInterval>(guard), 0.0};
                    settings.push_back(setting);
                    settings.back().useful_bit_rate =
                        useful_bit_rate(setting.mode, setting.constellation, setting.code_rate,
                                        setting.guard_interval, band.sampling_rate);
                }
    std::stable_sort(settings.begin(), settings.end(), [](const auto& a, const auto& b) {
        return a.useful_bit_rate < b.useful_bit_rate;
    });
    return settings;
}

std::vector<ChannelSetting> nearest_settings_above(double needed_rate, const ChannelBand& band,
                                                   size_t count) {
    std::vector<ChannelSetting> chosen;
    for (const ChannelSetting& setting : all_settings(band)) {
        if (chosen.size() == count) break;
        if (setting.mode != kMode2k || !(setting.useful_bit_rate > needed_rate)) continue;
        chosen.push_back(setting);
    }
    return chosen;
}

std::string describe_setting(const ChannelSetting& setting) {
    char text[96];
    std::snprintf(text, sizeof text, "-M %s -p %s -D %s (%.6f Mbit/s)",
                  kConstellationOption[setting.constellation], kCodeRateNames[setting.code_rate],
                  kGuardIntervalNames[setting.guard_interval], setting.useful_bit_rate * 1e-6);
    return text;
}

}  // namespace terramod
