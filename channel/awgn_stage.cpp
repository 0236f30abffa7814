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
    for (size_t i = range.first; i < range.end; ++i) {
        double a = 0, b = 0;
        source_.gaussian_pair(first + i, a, b);
        ComplexSample& sample = samples[i];
        sample.re = static_cast<float>(sample.re + deviation_ * a);
        sample.im = static_cast<float>(sample.im + deviation_ * b);
    }
}

}  // namespace terramod
