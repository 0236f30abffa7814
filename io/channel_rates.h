// The useful bit rate of every non-hierarchical DVB-T setting in one channel
// (a -b spacing or any --bandwidth), to tell a user which settings would carry
// a stream.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

struct ChannelSetting {
    OfdmMode mode;
    Constellation constellation;
    CodeRate code_rate;
    GuardInterval guard_interval;
    double useful_bit_rate;  // bit/s of transport stream
};

// The channel a run transmits in: its output sampling rate and the name
// messages give it ("8 MHz", "1.7 MHz").
struct ChannelBand {
    double sampling_rate;  // Hz
    std::string name;
};

// The band of a -b spacing, with the parameter report's sampling rate.
ChannelBand channel_band(ChannelSpacing spacing);
// The band of --bandwidth (Hz): sampled at 8/7 of it.
ChannelBand channel_band_of_bandwidth(double bandwidth_hz);

// The useful bit rate of one setting, computed left to right in double
// precision exactly as the parameter report computes it.
double useful_bit_rate(OfdmMode mode, Constellation constellation, CodeRate code_rate,
                       GuardInterval guard_interval, double sampling_rate);
double useful_bit_rate(OfdmMode mode, Constellation constellation, CodeRate code_rate,
                       GuardInterval guard_interval, ChannelSpacing spacing);

// All 2 x 3 x 5 x 4 settings in the band, by rising rate (ties in the order
// of mode, constellation, code rate, guard interval).
std::vector<ChannelSetting> all_settings(const ChannelBand& band);
std::vector<ChannelSetting> all_settings(ChannelSpacing spacing);

// Up to `count` settings whose rate exceeds `needed_rate`, the slowest first;
// the two modes, which carry the same rate, count as one.
std::vector<ChannelSetting> nearest_settings_above(double needed_rate, const ChannelBand& band,
                                                   size_t count);
std::vector<ChannelSetting> nearest_settings_above(double needed_rate, ChannelSpacing spacing,
                                                   size_t count);

// "-M 16 -p 1/2 -D 1/32 (12.064171 Mbit/s)": the options that choose it.
std::string describe_setting(const ChannelSetting& setting);

}  // namespace terramod
