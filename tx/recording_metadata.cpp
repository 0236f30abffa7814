#include "tx/recording_metadata.h"

#include <cstdio>

#include "common/version.h"
#include "tx/channel_setup.h"

namespace terramod {

namespace {

// The file name without its folder, as core:dataset names it.
std::string file_name_part(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The channel in words: "8 MHz", or the --bandwidth in MHz.
std::string channel_words(const TxConfig& config) {
    if (!config.bandwidth_hz) return kChannelSpacingNames[config.channel_spacing];
    char text[32];
    std::snprintf(text, sizeof text, "%.6g MHz", *config.bandwidth_hz * 1e-6);
    return text;
}

}  // namespace

SigmfMetadata describe_recording(const TxConfig& config, const RecordingFacts& facts) {
    SigmfMetadata metadata;
    metadata.datatype = facts.datatype;
    metadata.sample_rate = facts.sample_rate;
    metadata.recorder = std::string("terramod ") + kVersion;
    metadata.frequency = config.frequency_hz;
    metadata.datetime_ns = facts.datetime_ns;
    metadata.later_captures = facts.later_captures;
    metadata.dataset = file_name_part(facts.sample_file);
    metadata.description =
        std::string("DVB-T (EN 300 744) baseband signal: ") + kModeNames[config.mode] + " " +
        kConstellationNames[config.constellation] + " alpha " + kHierarchyNames[config.hierarchy] +
        ", code rate " + kCodeRateNames[config.code_rate] + ", guard interval " +
        kGuardIntervalNames[config.guard_interval] + ", " + channel_words(config) + " channel, " +
        kFrequencyMappingNames[config.frequency_mapping];
    metadata.texts = {{"mode", kModeNames[config.mode]},
                      {"constellation", kConstellationNames[config.constellation]},
                      {"hierarchy", kHierarchyNames[config.hierarchy]},
                      {"code_rate", kCodeRateNames[config.code_rate]},
                      {"guard_interval", kGuardIntervalNames[config.guard_interval]},
                      {"frequency_mapping", kFrequencyMappingNames[config.frequency_mapping]}};
    static constexpr double kBandwidthHz[] = {6e6, 7e6, 8e6};
    const double bandwidth_hz = config.bandwidth_hz.value_or(kBandwidthHz[config.channel_spacing]);
    metadata.numbers = {{"bandwidth_hz", bandwidth_hz},
                        {"interpolation", static_cast<double>(facts.interpolation)},
                        {"useful_bit_rate", facts.useful_bit_rate}};
    if (config.hierarchical_streams()) {
        // Two streams: code_rate and useful_bit_rate are the HP stream's.
        metadata.description +=
            ", LP code rate " + std::string(kCodeRateNames[config.lp_code_rate]);
        metadata.texts.push_back({"lp_code_rate", kCodeRateNames[config.lp_code_rate]});
        metadata.numbers.push_back({"lp_useful_bit_rate", facts.lp_useful_bit_rate});
    }
    // The signal-quality options, only when given (the default metadata stays
    // as it was).
    if (config.arithmetic == Arithmetic::kPrecise)
        metadata.texts.push_back({"transform", "exact (FFTW, double)"});
    if (config.arithmetic == Arithmetic::kFast)
        metadata.texts.push_back({"transform", "fast (single precision)"});
    if (config.window_length > 0)
        metadata.numbers.push_back({"window_length", static_cast<double>(config.window_length)});
    // The cell identifier the TPS carry, only when given.
    if (config.cell_id)
        metadata.numbers.push_back({"cell_id", static_cast<double>(*config.cell_id)});
    if (facts.megaframe_period_ns && facts.first_megaframe_sample) {
        metadata.numbers.push_back({"megaframe_period_ns", *facts.megaframe_period_ns});
        metadata.numbers.push_back(
            {"first_megaframe_sample", static_cast<double>(*facts.first_megaframe_sample)});
    }
    if (facts.integer_scale) {
        metadata.numbers.push_back({"backoff_db", config.backoff_db});
        metadata.numbers.push_back({"scale", facts.integer_scale->scale});
        metadata.numbers.push_back({"nominal_rms", facts.integer_scale->nominal_rms});
    }
    // The channel simulator's impairments, only when asked.
    describe_channel(config.channel_simulation, metadata);
    return metadata;
}

}  // namespace terramod
