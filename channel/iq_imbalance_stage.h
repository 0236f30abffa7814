// I/Q imbalance of a quadrature modulator: the I and Q branches' gains
// differ by G dB and their carriers are phi away from quadrature, the
// errors shared equally between the branches:
//     I' = a (I cos(phi/2) - Q sin(phi/2))
//     Q' = (1/a) (Q cos(phi/2) - I sin(phi/2)),    a = 10^(G / 40),
// so that I' / Q' amplitudes differ by a^2 = 10^(G / 20), G dB. Written as
// x' = mu x + nu x* (x = I + jQ),
//     |mu|^2 = (a^2 + a^-2 + 2 cos phi) / 4,  |nu|^2 = (a^2 + a^-2 - 2 cos phi) / 4,
// and the image rejection ratio (the power of a tone over that of its
// mirror image) is, with g = a^2,
//     IRR = |mu|^2 / |nu|^2 = (1 + 2 g cos phi + g^2) / (1 - 2 g cos phi + g^2).
// A circular signal's power is multiplied by (a^2 + a^-2) / 2 (1 at G = 0).
// Sample by sample: any split gives the same bytes.
#pragma once

#include "channel/channel_signal.h"
#include "ofdm/sample_stage.h"

namespace terramod {

class IqImbalanceStage : public SampleStage {
  public:
    IqImbalanceStage(double gain_db, double phase_deg);

    // The image rejection ratio of the formula above, in dB (infinite
    // without imbalance).
    static double image_rejection_db(double gain_db, double phase_deg);

    int32_t task_count(size_t sample_count) const override {
        return sample_task_count(sample_count);
    }
    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override;

  private:
    // I' = i_from_i I - i_from_q Q, Q' = q_from_q Q - q_from_i I.
    double i_from_i_, i_from_q_, q_from_q_, q_from_i_;
};

}  // namespace terramod
