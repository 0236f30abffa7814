// The channel simulator in a run (--seed, --cn, --freq-offset, --phase-noise,
// --iq-imbalance, --clock-offset and the echoes): the signal its stages
// impair, the check of its settings against the output rate, its lines of
// the parameter report and its fields of the SigMF metadata. Nothing of it
// without an impairment asked.
#pragma once

#include <memory>
#include <vector>

#include "channel/channel_signal.h"
#include "channel/clock_offset_resampler.h"
#include "common/log.h"
#include "io/sigmf.h"
#include "ofdm/sample_stage.h"
#include "tx/tx_types.h"

namespace terramod {

// The output's rate (the base rate times the interpolation factor of -F),
// the occupied bandwidth (carriers x spacing) and the nominal power of the
// output samples. base_rate and occupied_bandwidth as the parameter report
// computes them.
ChannelSignal channel_signal(const TxConfig& config, double base_rate, double occupied_bandwidth);

// The stages of the impairments asked, in the path's order (none without).
std::vector<std::shared_ptr<SampleStage>> channel_stages(const TxConfig& config, double base_rate,
                                                         double occupied_bandwidth);

// The sampling clock offset (--clock-offset), which the output path applies
// to the samples after every stage: none without it. The band it keeps is
// centred where the stages left it (BB IF, the frequency offset).
std::unique_ptr<ClockOffsetResampler> clock_offset_resampler(const TxConfig& config,
                                                             double base_rate,
                                                             double occupied_bandwidth);

// |--freq-offset| at most half the output rate, |--clock-offset| at most
// 1000 ppm; the fatal message otherwise.
bool check_channel_settings(const TxConfig& config, double base_rate, Log& log);

// No --clock-offset with --sfn (whose samples keep the mega-frames' time),
// checked before the SFN input is read; the fatal message otherwise.
bool clock_offset_fits_the_run(const TxConfig& config, Log& log);

// The parameter report's lines of the impairments asked, at level 2.
void report_channel_settings(const TxConfig& config, double base_rate, double occupied_bandwidth,
                             Log& log);

// dvbt:channel_* fields of the impairments asked.
void describe_channel(const ChannelSettings& settings, SigmfMetadata& metadata);

}  // namespace terramod
