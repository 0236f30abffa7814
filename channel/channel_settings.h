// What the channel simulator is asked to do (--seed, --cn, --echo-profile,
// --echoes, --doppler, --freq-offset, --phase-noise, --iq-imbalance,
// --clock-offset): every impairment is off unless given, and a run without
// any is the clean signal.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace terramod {

// A path of --echoes: delay (µs, 0 or more), power relative to the signal
// (dB), phase (degrees) and an optional Doppler shift of its own (Hz).
struct EchoTap {
    double delay_us = 0;
    double gain_db = 0;
    double phase_deg = 0;
    double doppler_hz = 0;
    bool operator==(const EchoTap&) const = default;
};

// The echo profiles of EN 300 744 Annex B.
enum class EchoProfile { kNone, kFixedF1, kPortableP1 };

// --phase-noise DBC_PER_HZ@OFFSET_HZ.
struct PhaseNoiseSpec {
    double dbc_per_hz = 0;
    double offset_hz = 0;
    bool operator==(const PhaseNoiseSpec&) const = default;
};

// --iq-imbalance GAIN_DB,PHASE_DEG.
struct IqImbalanceSpec {
    double gain_db = 0;
    double phase_deg = 0;
    bool operator==(const IqImbalanceSpec&) const = default;
};

struct ChannelSettings {
    uint64_t seed = 1;
    std::optional<double> cn_db;
    EchoProfile echo_profile = EchoProfile::kNone;
    std::vector<EchoTap> echoes;
    std::optional<double> doppler_hz;  // the Rayleigh paths' maximum Doppler
    std::optional<double> frequency_offset_hz;
    std::optional<PhaseNoiseSpec> phase_noise;
    std::optional<IqImbalanceSpec> iq_imbalance;
    // The sampling clock's offset (ppm, positive fast), applied last, by the
    // output path.
    std::optional<double> clock_offset_ppm;
    bool operator==(const ChannelSettings&) const = default;

    bool has_echoes() const { return echo_profile != EchoProfile::kNone || !echoes.empty(); }
    bool any() const {
        return cn_db || has_echoes() || frequency_offset_hz || phase_noise || iq_imbalance ||
               clock_offset_ppm;
    }
};

}  // namespace terramod
