#include "channel/iq_imbalance_stage.h"

#include "common/exact_math.h"

namespace terramod {

IqImbalanceStage::IqImbalanceStage(double gain_db, double phase_deg) {
    // a = 10^(G / 40): the power ratio of G / 4 dB.
    const double a = power_ratio_of_db(gain_db / 4);
    double sine = 0, cosine = 0;
    sincos_turns(phase_deg / 720, sine, cosine);  // phi / 2 in turns
    i_from_i_ = a * cosine;
    i_from_q_ = a * sine;
    q_from_q_ = cosine / a;
    q_from_i_ = sine / a;
}

double IqImbalanceStage::image_rejection_db(double gain_db, double phase_deg) {
    const double g = power_ratio_of_db(gain_db / 2);
    double sine = 0, cosine = 0;
    sincos_turns(phase_deg / 360, sine, cosine);
    const double wanted = 1 + 2 * g * cosine + g * g;
    const double image = 1 - 2 * g * cosine + g * g;
    constexpr double kTenOverLn10 = 4.34294481903251827651;
    return kTenOverLn10 * (exact_log(wanted) - exact_log(image));
}

void IqImbalanceStage::process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) {
    const TaskRange range = task_range(samples.size(), task, tasks);
    for (size_t n = range.first; n < range.end; ++n) {
        ComplexSample& sample = samples[n];
        const double i = sample.re, q = sample.im;
        sample.re = static_cast<float>(i_from_i_ * i - i_from_q_ * q);
        sample.im = static_cast<float>(q_from_q_ * q - q_from_i_ * i);
    }
}

}  // namespace terramod
