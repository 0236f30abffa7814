#include "channel/phase_noise_stage.h"

#include <cmath>

#include "common/exact_math.h"

namespace terramod {

PhaseNoiseStage::PhaseNoiseStage(uint64_t seed, double dbc_per_hz, double offset_hz,
                                 double sample_rate)
    : source_(seed, NoiseStream::kPhaseNoise),
      deviation_turns_(step_deviation_turns(dbc_per_hz, offset_hz, sample_rate)) {}

double PhaseNoiseStage::step_deviation_turns(double dbc_per_hz, double offset_hz,
                                             double sample_rate) {
    return offset_hz * std::sqrt(power_ratio_of_db(dbc_per_hz) / sample_rate);
}

void PhaseNoiseStage::process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) {
    (void)tasks;
    if (task != 0) return;
    for (ComplexSample& sample : samples) {
        const double step = source_.normal(next_++);
        // Kept within [0, 1] turn, where it keeps its precision however
        // long the run.
        phase_turns_ = phase_turns_ + deviation_turns_ * step;
        phase_turns_ = phase_turns_ - std::floor(phase_turns_);
        double sine = 0, cosine = 0;
        sincos_turns(phase_turns_, sine, cosine);
        const double re = sample.re, im = sample.im;
        sample.re = static_cast<float>(re * cosine - im * sine);
        sample.im = static_cast<float>(re * sine + im * cosine);
    }
}

}  // namespace terramod
