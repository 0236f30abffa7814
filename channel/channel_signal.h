// What the channel stages know of the signal they impair: its rate at the
// output, the band its carriers occupy and the power a C/N refers to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dvbt/dvbt.h"

namespace terramod {

struct ChannelSignal {
    double sample_rate = 0;         // Hz, at the output (after interpolation)
    double occupied_bandwidth = 0;  // Hz: carriers x carrier spacing
    double nominal_power = 0;       // the clean output's nominal mean |sample|^2
};

// The nominal power of the output samples, nominal_rms()^2 of
// ofdm/dac_output.h: at the base rate the sum of one symbol's cell powers,
// interpolated by 2 or 4 that times the filter's mean power gain over the
// occupied carriers, / P^2. Computed with the channel's own sine and cosine,
// so that the noise it scales is the same on every machine.
double nominal_output_power(OfdmMode mode, FrequencyMapping mapping, int32_t interpolation_factor);

// The share of a cycle of `size` samples that task `task` of `tasks` takes,
// [first, end): the stages that work sample by sample split a cycle so.
struct TaskRange {
    size_t first = 0;
    size_t end = 0;
};
inline TaskRange task_range(size_t size, int32_t task, int32_t tasks) {
    const size_t share = static_cast<size_t>(task);
    const size_t count = static_cast<size_t>(tasks);
    return {size * share / count, size * (share + 1) / count};
}

// How many tasks a stage that works sample by sample takes for a cycle of
// `size` samples: one for every 32768 samples begun, at least one.
int32_t sample_task_count(size_t size);

// The run's samples counted cycle by cycle: start() once at the start of a
// cycle (before its tasks), then first() is the run's index of the cycle's
// first sample.
class SampleCount {
  public:
    void start(size_t cycle_samples) {
        first_ = next_;
        next_ += cycle_samples;
    }
    uint64_t first() const { return first_; }

  private:
    uint64_t first_ = 0;
    uint64_t next_ = 0;
};

}  // namespace terramod
