// The channel simulator's stages, in the order a signal meets them on its
// way to a receiver: the echoes of the paths, the transmitter's and
// receiver's oscillators (frequency offset, phase noise), the modulator's
// I/Q imbalance, and last the receiver's own noise at the C/N asked.
#pragma once

#include <memory>
#include <vector>

#include "channel/channel_settings.h"
#include "channel/channel_signal.h"
#include "ofdm/sample_stage.h"

namespace terramod {

// The stages of `settings` for `signal`, none for an impairment not asked.
// The settings are checked (tx/): |frequency offset| <= Fs / 2.
std::vector<std::shared_ptr<SampleStage>> make_channel_stages(const ChannelSettings& settings,
                                                              const ChannelSignal& signal);

}  // namespace terramod
