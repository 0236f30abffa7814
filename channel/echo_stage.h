// The echo stage of the channel simulator: the multipath profiles of
// EN 300 744 Annex B (--echo-profile f1, p1), paths of the user's own
// (--echoes) and Clarke fading of the Rayleigh paths (--doppler), on the
// samples at the output rate.
//
// Each path is the input delayed by a whole number of output samples (its
// delay rounded to the nearest sample, halves up: at 64/7 MHz x 4 a sample
// is 27.3 ns) times its complex gain:
//   - Portable P1 (Rayleigh): y = k sum_{i=1..20} rho_i e^{-j theta_i} x(t - tau_i),
//     k = 1 / sqrt(sum rho_i^2), with rho_i, tau_i, theta_i from table B.1.
//   - Fixed F1 (Ricean): the same 20 paths and a direct one of rho_0 =
//     sqrt(10 sum rho_i^2) (Ricean factor 10 dB), all divided by
//     sqrt(sum_{i=0..20} rho_i^2).
//   The paths' powers add up to 1. Paths rounded onto one sample add as
//   amplitudes: without fading, the power of the taps at 64/7 MHz x 4
//   (paths 1 and 6 on sample 37, 15 and 16 on 7) is 0.974 (-0.12 dB) for
//   P1 and 0.998 for F1.
//   - --echoes: each tap adds a path of amplitude 10^(gain_db / 20), phase
//     e^{+j phase}, its delay, and its own frequency shift e^{j 2 pi f t}
//     (t = n / Fs, n counted from the stage's first sample). The taps are
//     not normalised and imply no direct path (a 0 us tap of 0 dB is one);
//     with a profile they are added to its paths.
//   - --doppler f_d (above 0): every path of P1 and the 20 echo paths of F1
//     (not the direct one, nor the --echoes taps) are multiplied by a
//     unit-power Clarke fading process of their own (ClarkeFading, path i
//     with process i - 1). The fading gains are evaluated once per block of 64 samples,
//     at the block's middle, on a grid of absolute sample numbers, and held
//     for the block.
// Paths that neither fade nor shift and share a sample are added into one
// tap. Output sample n is the sum over the taps, in double precision, of
// gain x input(n - delay), in a fixed order: the same bytes whatever the
// cycles' lengths and their split into tasks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "channel/channel_settings.h"
#include "ofdm/sample_stage.h"

namespace terramod {

// Unit-power Rayleigh fading with the Clarke (Jakes) Doppler spectrum of
// maximum Doppler f_d: a sum of sinusoids after Zheng and Xiao (IEEE Commun.
// Lett. 6(6), 2002), M = 16 oscillators in each of I and Q:
//   X(t) = (1 / sqrt(M)) sum_{n=1..M} [cos(2 pi f_d cos(a_n) t + phi_n)
//                                    + j cos(2 pi f_d sin(a_n) t + psi_n)],
//   a_n = (2 pi n - pi + theta) / (4 M),
// phi_n and psi_n uniform over a turn, from NoiseSource(seed, kFading)
// counters 64 p .. 64 p + 32 for process p, and theta in [pi/4, 3pi/4].
// Over the phases E|X|^2 = 1 and E[X(t + tau) X*(t)] = (1 / 2M) sum_n
// [cos(w tau cos a_n) + cos(w tau sin a_n)] (w = 2 pi f_d), which is
// J0(w tau) but for terms in J_{4M}(w tau) whatever theta (the I and Q sums
// cancel each other's odd harmonics of a_n): nothing at the lags that
// matter. One process's time averages come to the same once its
// oscillators' beats have averaged out. Zheng and Xiao draw theta over a
// whole turn, at random for each process; here it keeps away from 0 and pi,
// where I and Q would pair up on one frequency each (skewing the Doppler
// spectrum), and from the negative of another process's (whose I angles
// are this one's Q angles), and the range is cut into 20 slots, one to each
// of processes 0 to 19 (the paths of table B.1), theta drawn in the middle
// half of its slot: no two paths share an oscillator's frequency, and they
// fade apart as independent Gaussian processes would.
class ClarkeFading {
  public:
    static constexpr int kOscillators = 16;  // M

    ClarkeFading(uint64_t seed, uint32_t process, double max_doppler_hz);

    // X(t), each oscillator's phase straight from t (no recurrence).
    void gain(double seconds, double& re, double& im) const;

    // The oscillators, I's M first, then Q's: frequency (Hz) and phase at
    // t = 0 (turns).
    const std::array<double, 2 * kOscillators>& frequencies_hz() const { return frequencies_; }
    const std::array<double, 2 * kOscillators>& phases_turns() const { return phases_; }

  private:
    std::array<double, 2 * kOscillators> frequencies_{};
    std::array<double, 2 * kOscillators> phases_{};
};

// The fading gains are held for blocks of this many samples, counted from
// the stage's first sample.
inline constexpr int64_t kFadingBlockSamples = 64;

// The echo stage for `settings` at the output rate, or null when the
// settings ask for no echo. Throws std::invalid_argument for a rate that is
// not positive or a tap with a negative or non-finite value.
std::shared_ptr<SampleStage> make_echo_stage(const ChannelSettings& settings,
                                             double sample_rate_hz);

}  // namespace terramod
