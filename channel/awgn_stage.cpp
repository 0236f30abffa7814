#include "channel/awgn_stage.h"

#include <cmath>

#include "common/exact_math.h"

namespace terramod {

AwgnStage::AwgnStage(uint64_t seed, double total_noise_power)
    : source_(seed, NoiseStream::kAwgn), deviation_(std::sqrt(total_noise_power / 2)) {}

double AwgnStage::total_noise_power(double cn_db, const ChannelSignal& signal) {
    return signal.nominal_power * power_ratio_of_db(-cn_db) * signal.sample_rate /
           signal.occupied_bandwidth;
}

void AwgnStage::process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) {
    const TaskRange range = task_range(samples.size(), task, tasks);
    const uint64_t first = count_.first();
    const double deviation = deviation_;
    for (size_t i = range.first; i < range.end; ++i) {
        const uint64_t counter = 2 * (first + i);
        const double a = source_.normal(counter);
        const double b = source_.normal(counter + 1);
        ComplexSample& sample = samples[i];
        sample.re = static_cast<float>(sample.re + deviation * a);
        sample.im = static_cast<float>(sample.im + deviation * b);
    }
}

}  // namespace terramod
