// White Gaussian noise over the whole output band at a given C/N: the
// receiver's own noise, the last of the channel's stages.
//
// C is the nominal power of the signal (held, never measured), N the noise
// power within the occupied bandwidth B (the carriers times their spacing).
// The noise is white over the sample rate Fs, so its total power is
//     N_total = C x 10^(-C/N / 10) x Fs / B,
// half in I and half in Q. Output sample n (counted from the run's first)
// gets n_I = s a, n_Q = s b with a and b the normal numbers of counters 2n
// and 2n + 1 of the seed's AWGN stream and s = sqrt(N_total / 2): any split
// of the run into cycles and tasks gives the same bytes.
#pragma once

#include <cstdint>

#include "channel/channel_signal.h"
#include "channel/gaussian_source.h"
#include "ofdm/sample_stage.h"

namespace terramod {

class AwgnStage : public SampleStage {
  public:
    // total_noise_power: the mean |noise|^2 a sample gets.
    AwgnStage(uint64_t seed, double total_noise_power);

    // N_total of C/N `cn_db` over the signal's rate and occupied band.
    static double total_noise_power(double cn_db, const ChannelSignal& signal);

    int32_t task_count(size_t sample_count) const override {
        return sample_task_count(sample_count);
    }
    bool starts_cycles() const override { return true; }
    void start_cycle(std::span<const ComplexSample> samples) override {
        count_.start(samples.size());
    }
    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override;

  private:
    GaussianSource source_;
    double deviation_;  // of each component
    SampleCount count_;
};

}  // namespace terramod
