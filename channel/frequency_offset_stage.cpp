#include "channel/frequency_offset_stage.h"

#include <cmath>

#include "common/exact_math.h"

namespace terramod {

FrequencyOffsetStage::FrequencyOffsetStage(double offset_hz, double sample_rate) {
    // |f / Fs| <= 1/2: times 2^62 it is at most 2^61, an exact int64 once
    // rounded; four times that is the step in 2^-64 turns.
    const double turns_per_sample = offset_hz / sample_rate;
    const int64_t quarter_steps = std::llround(std::ldexp(turns_per_sample, 62));
    step_ = static_cast<uint64_t>(quarter_steps) << 2;
}

void FrequencyOffsetStage::process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) {
    const TaskRange range = task_range(samples.size(), task, tasks);
    const uint64_t first = count_.first();
    for (size_t i = range.first; i < range.end; ++i) {
        // The phase in [-1/2, 1/2) turns: exact in 64 bits, rounded to a
        // double's 53.
        const uint64_t phase = (first + i) * step_;
        const double turns = std::ldexp(static_cast<double>(static_cast<int64_t>(phase)), -64);
        double sine = 0, cosine = 0;
        sincos_turns(turns, sine, cosine);
        ComplexSample& sample = samples[i];
        const double re = sample.re, im = sample.im;
        sample.re = static_cast<float>(re * cosine - im * sine);
        sample.im = static_cast<float>(re * sine + im * cosine);
    }
}

}  // namespace terramod
