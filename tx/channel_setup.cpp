#include "tx/channel_setup.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "channel/channel_stages.h"
#include "channel/iq_imbalance_stage.h"
#include "tx/sample_output.h"

namespace terramod {

namespace {

double output_rate(const TxConfig& config, double base_rate) {
    return base_rate * output_format(config.dac_format).interpolation_factor;
}

// A value with at least `decimals` decimals, more (up to 6) when they are
// needed to give it back: "20.0", "20.25", "0.333333".
std::string decimal(double value, int decimals) {
    char text[64];
    for (;; ++decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        if (decimals >= 6 || std::strtod(text, nullptr) == value) return text;
    }
}

// The shortest text that reads back as the same double.
std::string shortest(double value) {
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

// The echo paths as --echoes takes them, each with its Doppler shift.
std::string echoes_text(const std::vector<EchoTap>& taps) {
    std::string text;
    for (const EchoTap& tap : taps) {
        if (!text.empty()) text += ",";
        text += shortest(tap.delay_us) + ":" + shortest(tap.gain_db) + ":" +
                shortest(tap.phase_deg) + ":" + shortest(tap.doppler_hz);
    }
    return text;
}

const char* profile_name(EchoProfile profile) {
    return profile == EchoProfile::kFixedF1 ? "F1" : "P1";
}

std::string image_rejection(double db) {
    char text[48];
    std::snprintf(text, sizeof text, "image rejection %.1f dB", db);
    return text;
}

// "a clock of 9.142971 MHz for 9.142857": the clock the signal was made
// with, against the output's.
std::string clock_text(double clock, double nominal) {
    char text[80];
    std::snprintf(text, sizeof text, "a clock of %.6f MHz for %.6f MHz", clock * 1e-6,
                  nominal * 1e-6);
    return text;
}

void report_line(Log& log, const char* name, const std::string& value) {
    log.write(LogLevel::kProgress, "\t%-20s: %s\n", name, value.c_str());
}

}  // namespace

ChannelSignal channel_signal(const TxConfig& config, double base_rate, double occupied_bandwidth) {
    const int32_t factor = output_format(config.dac_format).interpolation_factor;
    // BB IF is interpolated at zero IF and moved up afterwards, which keeps
    // the power: the filter's gain is the zero-IF one (as for cs16 and cs8).
    const FrequencyMapping mapping = factor > 1 ? kZeroIf : config.frequency_mapping;
    return {output_rate(config, base_rate), occupied_bandwidth,
            nominal_output_power(config.mode, mapping, factor)};
}

std::vector<std::shared_ptr<SampleStage>> channel_stages(const TxConfig& config, double base_rate,
                                                         double occupied_bandwidth) {
    if (!config.channel_simulation.any()) return {};
    return make_channel_stages(config.channel_simulation,
                               channel_signal(config, base_rate, occupied_bandwidth));
}

std::unique_ptr<ClockOffsetResampler> clock_offset_resampler(const TxConfig& config,
                                                             double base_rate,
                                                             double occupied_bandwidth) {
    const ChannelSettings& channel = config.channel_simulation;
    if (!channel.clock_offset_ppm) return nullptr;
    // BB IF: centred on half the base rate, at 1x as at 2x and 4x.
    double centre = config.frequency_mapping == kBasebandIf ? base_rate / 2 : 0;
    centre += channel.frequency_offset_hz.value_or(0);
    return std::make_unique<ClockOffsetResampler>(
        *channel.clock_offset_ppm, channel_signal(config, base_rate, occupied_bandwidth), centre);
}

bool check_channel_settings(const TxConfig& config, double base_rate, Log& log) {
    const ChannelSettings& channel = config.channel_simulation;
    const std::optional<double>& offset = channel.frequency_offset_hz;
    const double rate = output_rate(config, base_rate);
    if (offset && std::fabs(*offset) > rate / 2) {
        log.fatal(
            "--freq-offset %s Hz is beyond half the output sample rate (%.6f Msps): at most "
            "%.3f Hz either way\n",
            shortest(*offset).c_str(), rate * 1e-6, rate / 2);
        return false;
    }
    const std::optional<double>& ppm = channel.clock_offset_ppm;
    if (ppm && std::fabs(*ppm) > ClockOffsetResampler::kMaxPpm) {
        log.fatal("--clock-offset %s ppm is beyond %.0f ppm either way\n", shortest(*ppm).c_str(),
                  ClockOffsetResampler::kMaxPpm);
        return false;
    }
    return true;
}

bool clock_offset_fits_the_run(const TxConfig& config, Log& log) {
    if (!config.channel_simulation.clock_offset_ppm || !config.sfn) return true;
    log.fatal(
        "--clock-offset cannot go with --sfn: a single-frequency network's transmitter "
        "keeps its samples on the mega-frames' time\n");
    return false;
}

void report_channel_settings(const TxConfig& config, double base_rate, double occupied_bandwidth,
                             Log& log) {
    const ChannelSettings& channel = config.channel_simulation;
    if (!channel.any()) return;
    if (channel.echo_profile != EchoProfile::kNone)
        report_line(log, "Echo profile",
                    std::string(profile_name(channel.echo_profile)) +
                        (channel.echo_profile == EchoProfile::kFixedF1
                             ? " (EN 300 744 Annex B, fixed reception)"
                             : " (EN 300 744 Annex B, portable reception)"));
    if (!channel.echoes.empty()) report_line(log, "Echoes", echoes_text(channel.echoes));
    if (channel.doppler_hz) report_line(log, "Doppler", decimal(*channel.doppler_hz, 1) + " Hz");
    if (channel.frequency_offset_hz)
        report_line(log, "Frequency offset", decimal(*channel.frequency_offset_hz, 1) + " Hz");
    if (channel.phase_noise)
        report_line(log, "Phase noise",
                    decimal(channel.phase_noise->dbc_per_hz, 1) + " dBc/Hz at " +
                        decimal(channel.phase_noise->offset_hz, 1) + " Hz (random walk)");
    if (channel.iq_imbalance) {
        const double irr = IqImbalanceStage::image_rejection_db(channel.iq_imbalance->gain_db,
                                                                channel.iq_imbalance->phase_deg);
        report_line(log, "I/Q imbalance",
                    decimal(channel.iq_imbalance->gain_db, 2) + " dB, " +
                        decimal(channel.iq_imbalance->phase_deg, 2) + " degrees (" +
                        (std::isinf(irr) ? std::string("no image") : image_rejection(irr)) + ")");
    }
    if (channel.cn_db) {
        char text[96];
        std::snprintf(text, sizeof text, " dB (noise over %.6f MHz, %.6f MHz occupied)",
                      output_rate(config, base_rate) * 1e-6, occupied_bandwidth * 1e-6);
        report_line(log, "C/N", decimal(*channel.cn_db, 1) + text);
    }
    if (channel.clock_offset_ppm) {
        const double rate = output_rate(config, base_rate);
        report_line(log, "Clock offset",
                    decimal(*channel.clock_offset_ppm, 1) + " ppm (" +
                        clock_text(rate * (1 + *channel.clock_offset_ppm * 1e-6), rate) +
                        ", applied last)");
    }
    report_line(log, "Seed", std::to_string(channel.seed));
}

void describe_channel(const ChannelSettings& channel, SigmfMetadata& metadata) {
    if (!channel.any()) return;
    // 64 bits: as text, which every JSON reader keeps whole.
    metadata.texts.push_back({"channel_seed", std::to_string(channel.seed)});
    if (channel.echo_profile != EchoProfile::kNone)
        metadata.texts.push_back({"channel_echo_profile", profile_name(channel.echo_profile)});
    if (!channel.echoes.empty())
        metadata.texts.push_back({"channel_echoes", echoes_text(channel.echoes)});
    if (channel.doppler_hz) metadata.numbers.push_back({"channel_doppler_hz", *channel.doppler_hz});
    if (channel.frequency_offset_hz)
        metadata.numbers.push_back({"channel_frequency_offset_hz", *channel.frequency_offset_hz});
    if (channel.phase_noise) {
        metadata.numbers.push_back({"channel_phase_noise_dbc_hz", channel.phase_noise->dbc_per_hz});
        metadata.numbers.push_back(
            {"channel_phase_noise_offset_hz", channel.phase_noise->offset_hz});
    }
    if (channel.iq_imbalance) {
        metadata.numbers.push_back({"channel_iq_gain_db", channel.iq_imbalance->gain_db});
        metadata.numbers.push_back({"channel_iq_phase_deg", channel.iq_imbalance->phase_deg});
    }
    if (channel.cn_db) metadata.numbers.push_back({"channel_cn_db", *channel.cn_db});
    if (channel.clock_offset_ppm)
        metadata.numbers.push_back({"channel_clock_offset_ppm", *channel.clock_offset_ppm});
}

}  // namespace terramod
