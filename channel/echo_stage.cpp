#include "channel/echo_stage.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "channel/channel_signal.h"
#include "channel/noise_source.h"
#include "common/exact_math.h"

namespace terramod {

namespace {

constexpr double kTwoPi = 6.28318530717958647693;
constexpr int kOscillators = ClarkeFading::kOscillators;
constexpr int kAllOscillators = 2 * kOscillators;
// 1 / sqrt(M), exact for M = 16.
constexpr double kOscillatorScale = 0.25;
static_assert(kOscillators == 16, "kOscillatorScale is 1 / sqrt(16)");

// The fading gains of a block are its oscillators' phasors at the block's
// middle, for block b = 4096 C + 64 B + j (a span C of 262144 samples, a
// stretch B of 4096, a block j of 64):
//   e^{j 2 pi f t} = e^{j 2 pi f 262144 C / Fs} x e^{j 2 pi f 4096 B / Fs}
//                    x e^{j 2 pi f (64 j + 32) / Fs},
// the first factor from sincos_turns once a span, the others (the last with
// the oscillator's phase) from tables of 64: all three straight from the
// block's number, nothing accumulated from block to block.
constexpr int64_t kBlock = kFadingBlockSamples;
constexpr int64_t kBlocksPerStretch = 64;
constexpr int64_t kStretch = kBlock * kBlocksPerStretch;
constexpr int64_t kStretchesPerSpan = 64;
constexpr int64_t kSpan = kStretch * kStretchesPerSpan;

// A path's delay may not exceed this many samples (0.46 s at 64/7 MHz x 4):
// the stage keeps that much history.
constexpr int64_t kMaxDelaySamples = int64_t{1} << 24;

// EN 300 744 Table B.1: attenuation rho_i, delay tau_i (us), phase theta_i
// (rad) of the 20 paths of the fixed (F1) and portable (P1) profiles.
struct AnnexBPath {
    double rho;
    double delay_us;
    double theta_rad;
};
constexpr AnnexBPath kTableB1[20] = {
    {0.057662, 1.003019, 4.855121}, {0.176809, 5.422091, 3.419109}, {0.407163, 0.518650, 5.864470},
    {0.303585, 2.751772, 2.215894}, {0.258782, 0.602895, 3.758058}, {0.061831, 1.016585, 5.430202},
    {0.150340, 0.143556, 3.952093}, {0.051534, 0.153832, 1.093586}, {0.185074, 3.324866, 5.775198},
    {0.400967, 1.935570, 0.154459}, {0.295723, 0.429948, 5.928383}, {0.350825, 3.228872, 3.053023},
    {0.262909, 0.848831, 0.628578}, {0.225894, 0.073883, 2.128544}, {0.170996, 0.203952, 1.099463},
    {0.149723, 0.194207, 3.462951}, {0.240140, 0.924450, 3.664773}, {0.116587, 1.381320, 2.833799},
    {0.221155, 0.640512, 3.334290}, {0.259730, 1.368671, 0.393889},
};

// x - floor(x), in [0, 1): exact for x >= 0, rounded once below 0.
double fraction(double x) {
    return x - std::floor(x);
}

struct Complex {
    double re = 0;
    double im = 0;
};

Complex phasor_of_turns(double turns) {
    Complex value;
    sincos_turns(turns, value.im, value.re);
    return value;
}

Complex multiply(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// A path that neither fades nor shifts (paths sharing a sample added up).
struct StaticTap {
    int64_t delay = 0;
    Complex gain;
};

// A Rayleigh path under --doppler: its gain times its fading process.
struct FadedPath {
    int64_t delay = 0;
    Complex gain;
    // Per oscillator: the turns of its phasor per span (fraction only); the
    // phasors of the stretches of a span and of the blocks of a stretch.
    std::array<double, kAllOscillators> span_turns{};
    std::vector<Complex> stretches;  // [stretch of the span][oscillator]
    std::vector<Complex> blocks;     // [block of the stretch][oscillator]
};

// A --echoes tap with a frequency shift of its own.
struct ShiftedTap {
    int64_t delay = 0;
    Complex gain;
    double stretch_turns = 0;                    // f 4096 / Fs, fraction only
    double block_turns = 0;                      // f 64 / Fs, fraction only
    std::array<Complex, kBlock> within_block{};  // e^{j 2 pi f k / Fs}
};

// output[k] += gain x input[k] for k < count, in double.
void accumulate(double* out_re, double* out_im, const double* in_re, const double* in_im,
                Complex gain, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        out_re[k] = out_re[k] + (gain.re * in_re[k] - gain.im * in_im[k]);
        out_im[k] = out_im[k] + (gain.re * in_im[k] + gain.im * in_re[k]);
    }
}

// The real part of sum_o coarse[o] x rest[o] over M oscillators, in a
// fixed order: four running sums (o mod 4), then added pairwise.
double oscillator_sum(const Complex* coarse, const Complex* rest) {
    double partial[4] = {0, 0, 0, 0};
    for (int o = 0; o < kOscillators; o += 4)
        for (int lane = 0; lane < 4; ++lane)
            partial[lane] = partial[lane] + (coarse[o + lane].re * rest[o + lane].re -
                                             coarse[o + lane].im * rest[o + lane].im);
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

class EchoStage final : public SampleStage {
  public:
    EchoStage(std::vector<StaticTap> static_taps, std::vector<FadedPath> faded,
              std::vector<ShiftedTap> shifted)
        : static_taps_(std::move(static_taps)),
          faded_(std::move(faded)),
          shifted_(std::move(shifted)) {
        for (const StaticTap& tap : static_taps_) history_ = std::max(history_, tap.delay);
        for (const FadedPath& path : faded_) history_ = std::max(history_, path.delay);
        for (const ShiftedTap& tap : shifted_) history_ = std::max(history_, tap.delay);
        input_re_.assign(static_cast<size_t>(history_), 0.0);
        input_im_.assign(static_cast<size_t>(history_), 0.0);
    }

    int32_t task_count(size_t sample_count) const override {
        if (sample_count == 0) return 0;
        constexpr size_t kSamplesPerTask = 16384;
        return static_cast<int32_t>(
            std::clamp<size_t>(sample_count / kSamplesPerTask, size_t{1}, size_t{256}));
    }

    bool starts_cycles() const override { return true; }

    // The cycle's input goes behind the last `history_` samples of the
    // input so far (zeros before the first sample).
    void start_cycle(std::span<const ComplexSample> samples) override {
        const size_t history = static_cast<size_t>(history_);
        const size_t kept = input_re_.size() - history;
        std::copy(input_re_.begin() + static_cast<std::ptrdiff_t>(kept), input_re_.end(),
                  input_re_.begin());
        std::copy(input_im_.begin() + static_cast<std::ptrdiff_t>(kept), input_im_.end(),
                  input_im_.begin());
        input_re_.resize(history + samples.size());
        input_im_.resize(history + samples.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            input_re_[history + i] = samples[i].re;
            input_im_[history + i] = samples[i].im;
        }
        cycle_start_ = samples_before_;
        samples_before_ += samples.size();
        cycle_size_ = samples.size();
    }

    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override {
        if (samples.size() != cycle_size_)
            throw std::logic_error("echo stage: a cycle of " + std::to_string(samples.size()) +
                                   " samples, but " + std::to_string(cycle_size_) +
                                   " were given to start_cycle");
        const auto [first, end] = task_range(cycle_size_, task, tasks);
        // The phasors of the current span, then of the current stretch.
        std::vector<Complex> span_phasors(faded_.size() * kAllOscillators);
        std::vector<Complex> stretch_phasors(faded_.size() * kAllOscillators);
        uint64_t span_of_phasors = UINT64_MAX;
        uint64_t stretch_of_phasors = UINT64_MAX;
        double acc_re[kBlock];
        double acc_im[kBlock];
        size_t i = first;
        while (i < end) {
            // The samples of block `block` (absolute numbering) in this task.
            const uint64_t n = cycle_start_ + i;
            const uint64_t block = n / kBlock;
            const size_t offset = static_cast<size_t>(n - block * kBlock);
            const size_t count = std::min(end - i, static_cast<size_t>(kBlock) - offset);
            std::fill(acc_re, acc_re + count, 0.0);
            std::fill(acc_im, acc_im + count, 0.0);
            const double* x_re = input_re_.data() + history_ + i;
            const double* x_im = input_im_.data() + history_ + i;

            for (const StaticTap& tap : static_taps_)
                accumulate(acc_re, acc_im, x_re - tap.delay, x_im - tap.delay, tap.gain, count);

            if (!faded_.empty()) {
                const uint64_t stretch = block / kBlocksPerStretch;
                const uint64_t span = stretch / kStretchesPerSpan;
                const size_t in_span = static_cast<size_t>(stretch % kStretchesPerSpan);
                const size_t in_stretch = static_cast<size_t>(block % kBlocksPerStretch);
                if (span != span_of_phasors) {
                    for (size_t p = 0; p < faded_.size(); ++p)
                        for (int o = 0; o < kAllOscillators; ++o)
                            span_phasors[p * kAllOscillators + o] = phasor_of_turns(
                                faded_[p].span_turns[o] * static_cast<double>(span));
                    span_of_phasors = span;
                }
                if (stretch != stretch_of_phasors) {
                    for (size_t p = 0; p < faded_.size(); ++p) {
                        const Complex* of_span =
                            faded_[p].stretches.data() + in_span * kAllOscillators;
                        for (int o = 0; o < kAllOscillators; ++o)
                            stretch_phasors[p * kAllOscillators + o] =
                                multiply(span_phasors[p * kAllOscillators + o], of_span[o]);
                    }
                    stretch_of_phasors = stretch;
                }
                for (size_t p = 0; p < faded_.size(); ++p) {
                    const FadedPath& path = faded_[p];
                    const Complex* rest = path.blocks.data() + in_stretch * kAllOscillators;
                    const Complex* coarse = stretch_phasors.data() + p * kAllOscillators;
                    Complex fading;
                    fading.re = oscillator_sum(coarse, rest);
                    fading.im = oscillator_sum(coarse + kOscillators, rest + kOscillators);
                    fading.re = fading.re * kOscillatorScale;
                    fading.im = fading.im * kOscillatorScale;
                    accumulate(acc_re, acc_im, x_re - path.delay, x_im - path.delay,
                               multiply(path.gain, fading), count);
                }
            }

            for (const ShiftedTap& tap : shifted_) {
                const uint64_t stretch = block / kBlocksPerStretch;
                const uint64_t in_stretch = block % kBlocksPerStretch;
                const Complex at_block = multiply(
                    tap.gain, phasor_of_turns(tap.stretch_turns * static_cast<double>(stretch) +
                                              tap.block_turns * static_cast<double>(in_stretch)));
                const double* d_re = x_re - tap.delay;
                const double* d_im = x_im - tap.delay;
                for (size_t k = 0; k < count; ++k) {
                    const Complex gain = multiply(at_block, tap.within_block[offset + k]);
                    acc_re[k] = acc_re[k] + (gain.re * d_re[k] - gain.im * d_im[k]);
                    acc_im[k] = acc_im[k] + (gain.re * d_im[k] + gain.im * d_re[k]);
                }
            }

            for (size_t k = 0; k < count; ++k)
                samples[i + k] = {static_cast<float>(acc_re[k]), static_cast<float>(acc_im[k])};
            i += count;
        }
    }

  private:
    std::vector<StaticTap> static_taps_;
    std::vector<FadedPath> faded_;
    std::vector<ShiftedTap> shifted_;
    int64_t history_ = 0;
    // The last history_ samples before the cycle, then the cycle's.
    std::vector<double> input_re_;
    std::vector<double> input_im_;
    uint64_t samples_before_ = 0;
    uint64_t cycle_start_ = 0;
    size_t cycle_size_ = 0;
};

void check_finite(double value, const char* what) {
    if (!std::isfinite(value))
        throw std::invalid_argument(std::string("echo stage: ") + what + " is not finite");
}

int64_t delay_in_samples(double delay_us, double sample_rate_hz) {
    check_finite(delay_us, "an echo's delay");
    if (delay_us < 0) throw std::invalid_argument("echo stage: an echo's delay is negative");
    const double samples = std::floor(delay_us * sample_rate_hz / 1e6 + 0.5);
    if (samples > static_cast<double>(kMaxDelaySamples))
        throw std::invalid_argument("echo stage: an echo's delay of " + std::to_string(delay_us) +
                                    " us is more than " + std::to_string(kMaxDelaySamples) +
                                    " samples");
    return static_cast<int64_t>(samples);
}

FadedPath faded_path(int64_t delay, Complex gain, const ClarkeFading& fading,
                     double sample_rate_hz) {
    FadedPath path;
    path.delay = delay;
    path.gain = gain;
    path.stretches.resize(kStretchesPerSpan * kAllOscillators);
    path.blocks.resize(kBlocksPerStretch * kAllOscillators);
    for (int o = 0; o < kAllOscillators; ++o) {
        const double frequency = fading.frequencies_hz()[o];
        // Negative frequencies do not occur (a_n is in the first quadrant).
        path.span_turns[o] = fraction(frequency * static_cast<double>(kSpan) / sample_rate_hz);
        const double stretch_turns =
            fraction(frequency * static_cast<double>(kStretch) / sample_rate_hz);
        for (int64_t b = 0; b < kStretchesPerSpan; ++b)
            path.stretches[static_cast<size_t>(b * kAllOscillators + o)] =
                phasor_of_turns(stretch_turns * static_cast<double>(b));
        for (int64_t j = 0; j < kBlocksPerStretch; ++j) {
            const double middle = static_cast<double>(j * kBlock + kBlock / 2);
            path.blocks[static_cast<size_t>(j * kAllOscillators + o)] =
                phasor_of_turns(fading.phases_turns()[o] + frequency * middle / sample_rate_hz);
        }
    }
    return path;
}

}  // namespace

ClarkeFading::ClarkeFading(uint64_t seed, uint32_t process, double max_doppler_hz) {
    const NoiseSource source(seed, NoiseStream::kFading);
    const uint64_t base = 64 * static_cast<uint64_t>(process);
    // theta / 2 pi in [1/8, 3/8]: the I and Q angles, a_n and pi / 2 - a_n,
    // are at least pi / 8M apart, and no theta is another's negative. Slot
    // `process mod 20` of 20, in the middle half: two processes' thetas at
    // least 1/160 turn apart.
    const double slot = static_cast<double>(process % 20);
    const double theta_turns = 0.125 + (slot + 0.25 + 0.5 * source.uniform(base)) / 80;
    for (int n = 1; n <= kOscillators; ++n) {
        // a_n / 2 pi = (n - 1/2 + theta / 2 pi) / 4M.
        const double angle_turns = (n - 0.5 + theta_turns) / (4 * kOscillators);
        double sine = 0;
        double cosine = 0;
        sincos_turns(angle_turns, sine, cosine);
        frequencies_[n - 1] = max_doppler_hz * cosine;
        frequencies_[kOscillators + n - 1] = max_doppler_hz * sine;
        phases_[n - 1] = source.uniform(base + static_cast<uint64_t>(n));
        phases_[kOscillators + n - 1] =
            source.uniform(base + static_cast<uint64_t>(kOscillators + n));
    }
}

void ClarkeFading::gain(double seconds, double& re, double& im) const {
    re = 0;
    im = 0;
    for (int o = 0; o < kOscillators; ++o)
        re = re + phasor_of_turns(frequencies_[o] * seconds + phases_[o]).re;
    for (int o = kOscillators; o < kAllOscillators; ++o)
        im = im + phasor_of_turns(frequencies_[o] * seconds + phases_[o]).re;
    re = re * kOscillatorScale;
    im = im * kOscillatorScale;
}

std::shared_ptr<SampleStage> make_echo_stage(const ChannelSettings& settings,
                                             double sample_rate_hz) {
    if (!settings.has_echoes()) return nullptr;
    if (!(sample_rate_hz > 0) || !std::isfinite(sample_rate_hz))
        throw std::invalid_argument("echo stage: the sample rate is not a positive number");
    double max_doppler = 0;
    if (settings.doppler_hz) {
        max_doppler = *settings.doppler_hz;
        check_finite(max_doppler, "the maximum Doppler");
        if (max_doppler < 0)
            throw std::invalid_argument("echo stage: the maximum Doppler is negative");
    }
    const bool fading = max_doppler > 0;

    // Static taps by delay, each the sum (in path order) of its paths' gains.
    std::map<int64_t, Complex> static_gains;
    auto add_static = [&](int64_t delay, Complex gain) {
        Complex& sum = static_gains[delay];
        sum.re = sum.re + gain.re;
        sum.im = sum.im + gain.im;
    };
    std::vector<FadedPath> faded;
    std::vector<ShiftedTap> shifted;

    if (settings.echo_profile != EchoProfile::kNone) {
        double power = 0;
        for (const AnnexBPath& path : kTableB1) power = power + path.rho * path.rho;
        double scale = 1.0 / std::sqrt(power);
        if (settings.echo_profile == EchoProfile::kFixedF1) {
            // The direct path: 10 dB above the 20 others together.
            const double direct = std::sqrt(10.0 * power);
            scale = 1.0 / std::sqrt(direct * direct + power);
            add_static(0, {direct * scale, 0.0});
        }
        for (uint32_t i = 0; i < 20; ++i) {
            const AnnexBPath& path = kTableB1[i];
            const int64_t delay = delay_in_samples(path.delay_us, sample_rate_hz);
            // rho e^{-j theta}.
            const Complex turn = phasor_of_turns(-path.theta_rad / kTwoPi);
            const Complex gain = {path.rho * scale * turn.re, path.rho * scale * turn.im};
            if (fading)
                faded.push_back(faded_path(delay, gain, ClarkeFading(settings.seed, i, max_doppler),
                                           sample_rate_hz));
            else
                add_static(delay, gain);
        }
    }

    for (const EchoTap& echo : settings.echoes) {
        check_finite(echo.gain_db, "an echo's gain");
        check_finite(echo.phase_deg, "an echo's phase");
        check_finite(echo.doppler_hz, "an echo's Doppler shift");
        const int64_t delay = delay_in_samples(echo.delay_us, sample_rate_hz);
        const double amplitude = std::sqrt(power_ratio_of_db(echo.gain_db));
        const Complex turn = phasor_of_turns(echo.phase_deg / 360.0);
        const Complex gain = {amplitude * turn.re, amplitude * turn.im};
        if (echo.doppler_hz == 0) {
            add_static(delay, gain);
            continue;
        }
        ShiftedTap tap;
        tap.delay = delay;
        tap.gain = gain;
        const double per_sample = echo.doppler_hz / sample_rate_hz;
        tap.stretch_turns = fraction(per_sample * static_cast<double>(kStretch));
        tap.block_turns = fraction(per_sample * static_cast<double>(kBlock));
        for (int64_t k = 0; k < kBlock; ++k)
            tap.within_block[static_cast<size_t>(k)] =
                phasor_of_turns(per_sample * static_cast<double>(k));
        shifted.push_back(tap);
    }

    std::vector<StaticTap> static_taps;
    for (const auto& [delay, gain] : static_gains) static_taps.push_back({delay, gain});
    return std::make_shared<EchoStage>(std::move(static_taps), std::move(faded),
                                       std::move(shifted));
}

}  // namespace terramod
