// Phase noise of an oscillator: a Wiener (random-walk) phase, the model of
// a free-running oscillator whose spectrum falls as 1/f^2 from the carrier
// (a Lorentzian line).
//
// Output sample n is multiplied by e^{j phi[n]}, with
//     phi[n] = phi[n-1] + sigma w[n],  phi[-1] = 0,
// w[n] standard normal (the seed's phase-noise stream: the normal number of
// counter n). The phase's two-sided spectral density is then
// sigma^2 / (4 Fs sin^2(pi f / Fs)),
// sigma^2 Fs / (4 pi^2 f^2) for f << Fs, and the single-sideband phase
// noise L(f), where it is well below 0 dBc/Hz (f well above the line's
// half width sigma^2 Fs / (4 pi)), is that density:
//     L(f) = sigma^2 Fs / (4 pi^2 f^2),  so  sigma^2 = 4 pi^2 f^2 L(f) / Fs
// for the level L(f) (as a power ratio per Hz) asked at offset f. The
// spectrum of e^{j phi} is exactly the Lorentzian
//     S(f) = (D / 4 pi^2) / ((D / 4 pi)^2 + f^2),  D = sigma^2 Fs,
// whose total is 1: the signal's power is kept. The phase is carried in
// turns from sample to sample and across cycles, so the stage takes each
// cycle as one task.
#pragma once

#include <cstdint>

#include "channel/gaussian_source.h"
#include "ofdm/sample_stage.h"

namespace terramod {

class PhaseNoiseStage : public SampleStage {
  public:
    PhaseNoiseStage(uint64_t seed, double dbc_per_hz, double offset_hz, double sample_rate);

    // sigma / (2 pi): the standard deviation of a sample's phase step in
    // turns, f sqrt(L(f) / Fs).
    static double step_deviation_turns(double dbc_per_hz, double offset_hz, double sample_rate);

    int32_t task_count(size_t sample_count) const override {
        (void)sample_count;
        return 1;
    }
    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override;

  private:
    GaussianSource source_;
    double deviation_turns_;
    double phase_turns_ = 0;  // within [0, 1]
    uint64_t next_ = 0;       // the run's index of the next sample
};

}  // namespace terramod
