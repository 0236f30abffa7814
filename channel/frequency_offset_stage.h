// A carrier frequency offset: output sample n (counted from the run's
// first) is multiplied by e^{j 2 pi f n / Fs}.
//
// The phase is taken from n alone, in integers: f / Fs is held as a whole
// number of 2^-64 turns per sample (to the nearest 2^-62, an error below
// Fs x 2^-63 Hz, 1e-12 Hz at 9 MHz), and the phase of sample n is n times
// that modulo 2^64, exact for every n. Any split of the run into cycles and
// tasks gives the same bytes, and a run of any length keeps its phase.
#pragma once

#include <cstdint>

#include "channel/channel_signal.h"
#include "ofdm/sample_stage.h"

namespace terramod {

class FrequencyOffsetStage : public SampleStage {
  public:
    // |offset_hz| at most sample_rate / 2.
    FrequencyOffsetStage(double offset_hz, double sample_rate);

    // The phase step a sample, in 2^-64 turns (two's complement).
    uint64_t step() const { return step_; }

    int32_t task_count(size_t sample_count) const override {
        return sample_task_count(sample_count);
    }
    bool starts_cycles() const override { return true; }
    void start_cycle(std::span<const ComplexSample> samples) override {
        count_.start(samples.size());
    }
    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override;

  private:
    uint64_t step_;
    SampleCount count_;
};

}  // namespace terramod
