// The mega-frame of ETSI TS 101 191 in a DVB-T stream: 8 OFDM frames
// (2 super-frames) in 8k, 32 frames (8 super-frames) in 2k; how many
// transport-stream packets it carries (EN 300 744 clause 4.4: an integer
// number of Reed-Solomon packets per super-frame) and how long it lasts.
#pragma once

#include <cstdint>
#include <optional>

#include "dvbt/dvbt.h"

namespace terramod {

int32_t superframes_per_megaframe(OfdmMode mode);

// Packets per super-frame of one stream: the only one (every bit of a cell,
// as terramod's run of one stream, hierarchical constellation or not), or
// with two streams (settings.two_streams) the high-priority one (2 bits a
// cell, settings.code_rate) or with `low_priority` the low-priority one (the
// remaining bits, settings.lp_code_rate).
int64_t packets_per_superframe(const DvbtSettings& settings, bool low_priority = false);
int64_t packets_per_megaframe(const DvbtSettings& settings, bool low_priority = false);

// Samples of one mega-frame at the elementary period (7/(8 x bandwidth)):
// frames x 68 symbols x (FFT size + guard interval).
int64_t megaframe_samples(OfdmMode mode, GuardInterval guard_interval);

// When each mega-frame starts, exactly: the sampling rate is 8/7 of an
// integer bandwidth in Hz, so mega-frame k starts at
// start + floor(k x samples x 7e9 / (8 x bandwidth)) ns.
class MegaframeClock {
  public:
    // Nothing for a bandwidth of 0 or less.
    static std::optional<MegaframeClock> make(OfdmMode mode, GuardInterval guard_interval,
                                              int64_t bandwidth_hz, int64_t start_ns);
    // ns since the epoch (or whatever `start_ns` counts from).
    int64_t start_of(int64_t megaframe) const;
    // The synchronization_time_stamp of the MIP of mega-frame k: when
    // mega-frame k + 1 starts, modulo one second, in whole 100 ns.
    uint32_t sts_100ns_for(int64_t megaframe) const;
    // A mega-frame's length, rounded down to whole ns.
    int64_t duration_ns() const { return start_of(1) - start_of(0); }

  private:
    MegaframeClock(int64_t samples, int64_t bandwidth_hz, int64_t start_ns)
        : samples_(samples), bandwidth_hz_(bandwidth_hz), start_ns_(start_ns) {}
    int64_t samples_;
    int64_t bandwidth_hz_;
    int64_t start_ns_;
};

}  // namespace terramod
