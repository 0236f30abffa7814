#include "channel/clock_offset_resampler.h"

#include <algorithm>
#include <cmath>

#include "common/exact_math.h"

namespace terramod {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The images' attenuation the taps are chosen for, and Kaiser's window
// parameter for it (beta = 0.1102 (A - 8.7) above 50 dB).
constexpr double kAttenuationDb = 80;
constexpr double kKaiserBeta = 0.1102 * (kAttenuationDb - 8.7);
constexpr int32_t kMinTaps = 4;
constexpr int32_t kMaxTaps = 128;
// The phase of a row is the top 8 bits of the position's fraction, the
// weight between two rows the 56 below.
constexpr int kPhaseBits = 8;
static_assert(ClockOffsetResampler::kPhases == 1 << kPhaseBits);
constexpr int kWeightBits = 64 - kPhaseBits;
constexpr uint64_t kWeightMask = (uint64_t{1} << kWeightBits) - 1;
constexpr unsigned __int128 kOne = static_cast<unsigned __int128>(1) << 64;

// I0(x), the modified Bessel function of order 0, by its series
// sum (x/2)^2k / (k!)^2 until a term no longer counts.
double bessel_i0(double x) {
    const double quarter_square = (x / 2) * (x / 2);
    double term = 1, sum = 1;
    for (int k = 1; k < 200; ++k) {
        term = term * quarter_square / (static_cast<double>(k) * k);
        sum += term;
        if (term < sum * 0x1p-60) break;
    }
    return sum;
}

// sin(pi t) / (pi t), exactly 0 at the whole numbers but 0.
double sinc(double t) {
    if (t == 0) return 1;
    double sine = 0, cosine = 0;
    sincos_turns(t / 2, sine, cosine);
    return sine / (kPi * t);
}

// The Kaiser window over [-half, half].
double kaiser(double t, double half, double i0_beta) {
    if (std::fabs(t) >= half) return 0;
    const double ratio = t / half;
    return bessel_i0(kKaiserBeta * std::sqrt(1 - ratio * ratio)) / i0_beta;
}

// e^{j 2 pi turns} for a phase in 2^-64 turns (two's complement).
void rotation(uint64_t phase, double& sine, double& cosine) {
    sincos_turns(std::ldexp(static_cast<double>(static_cast<int64_t>(phase)), -64), sine, cosine);
}

}  // namespace

int32_t ClockOffsetResampler::tap_count_for(double occupied_share) {
    // Kaiser's estimate of the length for the attenuation over a transition
    // from the band's edge (share / 2 of the rate) to its first image's
    // (1 - share / 2): a width of 1 - share, in the input's cycles a sample.
    const double width = 1 - occupied_share;
    if (!(width > 0)) return kMaxTaps;
    const double taps = std::ceil((kAttenuationDb - 7.95) / (14.36 * width));
    if (taps >= kMaxTaps) return kMaxTaps;
    const auto whole = static_cast<int32_t>(taps);
    return std::max(kMinTaps, whole + whole % 2);
}

ClockOffsetResampler::ClockOffsetResampler(double ppm, const ChannelSignal& signal,
                                           double centre_hz)
    : half_(tap_count_for(signal.occupied_bandwidth / signal.sample_rate) / 2) {
    // 1 + epsilon in 2^-64: |epsilon| 2^64 <= 2^54, an exact int64 once rounded.
    const int64_t offset = std::llround(std::ldexp(ppm * 1e-6, 64));
    step_ = kOne + static_cast<unsigned __int128>(static_cast<__int128>(offset));
    // The centre in 2^-64 turns a sample, through 2^-62 as the frequency
    // offset stage holds its step (|centre| up to the rate).
    const int64_t quarter_steps = std::llround(std::ldexp(centre_hz / signal.sample_rate, 62));
    centre_ = static_cast<__int128>(quarter_steps) * 4;
    shifted_ = centre_ != 0;

    // Row r, tap k: the kernel at the distance from input i - T + 1 + k to
    // the position i + r / kPhases.
    const int32_t taps = 2 * half_;
    const double i0_beta = bessel_i0(kKaiserBeta);
    table_.resize(static_cast<size_t>(kPhases + 1) * taps);
    for (int32_t row = 0; row <= kPhases; ++row)
        for (int32_t k = 0; k < taps; ++k) {
            const double t = static_cast<double>(row) / kPhases + (half_ - 1 - k);
            table_[static_cast<size_t>(row) * taps + k] = sinc(t) * kaiser(t, half_, i0_beta);
        }
    slope_.resize(static_cast<size_t>(kPhases) * taps);
    for (size_t i = 0; i < slope_.size(); ++i) slope_[i] = table_[i + taps] - table_[i];

    // The T - 1 zeros before input 0 that output 0's first taps reach.
    buffer_first_ = -(half_ - 1);
    buffer_.assign(static_cast<size_t>(half_ - 1), Value{0, 0});
}

size_t ClockOffsetResampler::max_outputs(size_t inputs) const {
    // The positions of a push lie within a stretch of `inputs` samples, the
    // flush's within T: at most that / (1 + epsilon) + 1, and
    // 1 / (1 - 1000 ppm) < 1 + 1/512.
    return inputs + inputs / 512 + static_cast<size_t>(half_) + 2;
}

void ClockOffsetResampler::reserve(size_t inputs) {
    buffer_.reserve(inputs + static_cast<size_t>(3 * half_));
    output_.reserve(max_outputs(inputs));
}

void ClockOffsetResampler::append(std::span<const ComplexSample> input) {
    const size_t before = buffer_.size();
    buffer_.resize(before + input.size());
    Value* to = buffer_.data() + before;
    if (!shifted_) {
        for (size_t i = 0; i < input.size(); ++i) to[i] = {input[i].re, input[i].im};
    } else {
        // Input n times e^{-j 2 pi c n}: the band brought to zero frequency.
        for (size_t i = 0; i < input.size(); ++i) {
            const uint64_t n = static_cast<uint64_t>(received_) + i;
            double sine = 0, cosine = 0;
            rotation(0 - n * static_cast<uint64_t>(centre_), sine, cosine);
            const double re = input[i].re, im = input[i].im;
            to[i] = {re * cosine - im * sine, re * sine + im * cosine};
        }
    }
    received_ += static_cast<int64_t>(input.size());
}

ClockOffsetResampler::Value ClockOffsetResampler::interpolate(const Value* first,
                                                              uint64_t fraction) const {
    const size_t taps = static_cast<size_t>(2 * half_);
    const size_t row = static_cast<size_t>(fraction >> kWeightBits) * taps;
    const double weight = std::ldexp(static_cast<double>(fraction & kWeightMask), -kWeightBits);
    const double* at = table_.data() + row;
    const double* slope = slope_.data() + row;
    // The row's sum and the slope's, then the weight between: the taps of
    // the position interpolated linearly between two phases.
    double re = 0, im = 0, slope_re = 0, slope_im = 0;
    for (size_t k = 0; k < taps; ++k) {
        re += at[k] * first[k].re;
        im += at[k] * first[k].im;
        slope_re += slope[k] * first[k].re;
        slope_im += slope[k] * first[k].im;
    }
    return {re + weight * slope_re, im + weight * slope_im};
}

void ClockOffsetResampler::produce(unsigned __int128 limit) {
    const int64_t end = buffer_first_ + static_cast<int64_t>(buffer_.size());
    while (position_ < limit) {
        const auto index = static_cast<int64_t>(position_ >> 64);
        if (index + half_ >= end) break;
        const Value* first = buffer_.data() + (index - half_ + 1 - buffer_first_);
        Value value = interpolate(first, static_cast<uint64_t>(position_));
        if (shifted_) {
            // Back to the band's centre: e^{j 2 pi c p}, c p in 2^-128 turns.
            const unsigned __int128 turns = static_cast<unsigned __int128>(centre_) * position_;
            double sine = 0, cosine = 0;
            rotation(static_cast<uint64_t>(turns >> 64), sine, cosine);
            value = {value.re * cosine - value.im * sine, value.re * sine + value.im * cosine};
        }
        output_.push_back({static_cast<float>(value.re), static_cast<float>(value.im)});
        position_ += step_;
        ++outputs_;
    }
    // Keep the inputs from the next output's first tap on.
    const int64_t keep_from = std::min(static_cast<int64_t>(position_ >> 64) - half_ + 1, end);
    if (keep_from > buffer_first_) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + (keep_from - buffer_first_));
        buffer_first_ = keep_from;
    }
}

std::span<const ComplexSample> ClockOffsetResampler::push(std::span<const ComplexSample> input) {
    output_.clear();
    if (flushed_) return {};
    output_.reserve(max_outputs(input.size()));
    append(input);
    produce(~static_cast<unsigned __int128>(0));
    return output_;
}

std::span<const ComplexSample> ClockOffsetResampler::flush() {
    output_.clear();
    if (flushed_) return {};
    flushed_ = true;
    // Zeros beyond the end for the last outputs' taps; positions up to the
    // end of the input, below N.
    buffer_.resize(buffer_.size() + static_cast<size_t>(half_), Value{0, 0});
    produce(static_cast<unsigned __int128>(received_) << 64);
    return output_;
}

}  // namespace terramod
