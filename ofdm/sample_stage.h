// A stage after interpolation (a channel simulator, for one): it works in
// place on each cycle's samples at the output rate, after every stage of
// EN 300 744 and before the samples are encoded for their destinations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class SampleStage {
  public:
    virtual ~SampleStage() = default;

    // How many tasks a cycle of `sample_count` samples is split into (0:
    // the stage is skipped). The tasks of a cycle may run side by side on
    // several threads: a split must not change the bytes, so a stage that
    // carries state from sample to sample takes one.
    virtual int32_t task_count(size_t sample_count) const {
        (void)sample_count;
        return 1;
    }
    // Once a cycle, before its tasks, on one thread, when the stage asks for
    // it: a stage that needs the cycle's input whole (an echo reads samples
    // its tasks overwrite) or counts the samples takes it here.
    virtual bool starts_cycles() const { return false; }
    virtual void start_cycle(std::span<const ComplexSample> samples) { (void)samples; }
    // Task `task` of `tasks` over the cycle's samples.
    virtual void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) = 0;
};

}  // namespace terramod
