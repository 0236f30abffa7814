#include "ofdm/dac_output.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace terramod {

namespace {

// Agilent words are 14-bit offset binary: 8192 is zero.
constexpr int32_t kAgilentOffset = 8192;
constexpr int32_t kAgilentMaxWord = 16383;

uint16_t agilent_word(float scale, float part) {
    const double product = double{scale} * part;
    // Saturate instead of wrapping: a peak beyond the range would otherwise
    // turn into a full-scale value of the opposite sign.
    if (product >= kAgilentMaxWord + 1 - kAgilentOffset) return kAgilentMaxWord;
    if (product <= -kAgilentOffset - 1) return 0;
    if (std::isnan(product)) return kAgilentOffset;
    return static_cast<uint16_t>(kAgilentOffset + static_cast<int32_t>(product));
}

// Stored tap values of the linear-phase low-pass filters (IEEE bit patterns),
// first half and centre; the second half mirrors the first.
constexpr uint32_t kFilter2xHalf[16] = {
    0x3B1D082D, 0x3C06FBFD, 0x3BC9658D, 0xBBE0ADF4, 0xBC27FCEA, 0x3C162993, 0x3C946430, 0xBC3BD082,
    0xBCFC27F0, 0x3C5DB58B, 0x3D56C857, 0xBC788339, 0xBDCAE1FF, 0x3C84D5F3, 0x3EA1BEFD, 0x3EF78338};
constexpr uint32_t kFilter4xHalf[32] = {
    0xB8CDD934, 0x3AA27662, 0x3B297BA2, 0x3B828BAB, 0x3B914434, 0x3B5073DC, 0x396D815D, 0xBB5C4E6F,
    0xBBBBE52B, 0xBBA9AF7F, 0xBAA542BC, 0x3B936D00, 0x3C13AA97, 0x3C158CC5, 0x3B6B9FC6, 0xBBB88621,
    0xBC619DA1, 0xBC7D3827, 0xBC01A4DC, 0x3BD9A3BA, 0x3CAC7A30, 0x3CD73819, 0x3C856B38, 0xBBF3D772,
    0xBD0E09CD, 0xBD4B0595, 0xBD1927B9, 0x3C024F6A, 0x3DA2B603, 0x3E21C1E4, 0x3E602B86, 0x3E77AC68};

template <size_t kTaps, size_t kHalf>
constexpr std::array<float, kTaps> symmetric_filter(const uint32_t (&half)[kHalf]) {
    static_assert(kTaps == 2 * kHalf - 1);
    std::array<float, kTaps> taps{};
    for (size_t n = 0; n < kHalf; ++n) {
        taps[n] = std::bit_cast<float>(half[n]);
        taps[kTaps - 1 - n] = taps[n];
    }
    return taps;
}

}  // namespace

const std::array<float, 31> interp_filter_2x = symmetric_filter<31>(kFilter2xHalf);
const std::array<float, 63> interp_filter_4x = symmetric_filter<63>(kFilter4xHalf);

float compute_agilent_scale(OfdmMode mode) {
    const int32_t carriers = carrier_count[mode];
    const int32_t data = data_carrier_count[mode];
    const int32_t tps = tps_carrier_count[mode];
    // Pilots are boosted to amplitude 4/3, so each counts 16/9 of a cell.
    const int32_t pilot_power = ((carriers - data - tps) * 16) / 9;
    const double component_power = (pilot_power + data + tps) * 0.5;
    return static_cast<float>(8191.0 / (std::sqrt(component_power) * 3.2));
}

void AgilentConverter::convert_agilent(std::span<const ComplexSample> input,
                                       std::span<uint16_t> dac_i, std::span<uint16_t> dac_q) const {
    const size_t count = std::min({input.size(), dac_i.size(), dac_q.size()});
    for (size_t i = 0; i < count; ++i) {
        dac_i[i] = agilent_word(scale_, input[i].re);
        dac_q[i] = agilent_word(scale_, input[i].im);
    }
}

double nominal_rms(OfdmMode mode, FrequencyMapping mapping, int32_t interpolation_factor) {
    const int32_t carriers = carrier_count[mode];
    const int32_t data = data_carrier_count[mode];
    const int32_t tps = tps_carrier_count[mode];
    const double pilot_power = (carriers - data - tps) * (16.0 / 9.0);
    const double base_rms = std::sqrt(pilot_power + data + tps);
    if (interpolation_factor != 2 && interpolation_factor != 4) return base_rms;

    const float* taps =
        interpolation_factor == 2 ? interp_filter_2x.data() : interp_filter_4x.data();
    const int32_t tap_count = interpolation_factor == 2 ? 31 : 63;
    const double size = fft_size[mode];
    double power_gain = 0;
    for (int32_t k = 0; k < carriers; ++k) {
        // Carrier k in cycles per base-rate sample, then per output sample.
        double frequency = (k - (carriers - 1) / 2) / size;
        if (mapping == kBasebandIf) frequency += 0.5;
        const double omega = 2 * M_PI * frequency / interpolation_factor;
        double re = 0, im = 0;
        for (int32_t n = 0; n < tap_count; ++n) {
            re += taps[n] * std::cos(omega * n);
            im -= taps[n] * std::sin(omega * n);
        }
        power_gain += re * re + im * im;
    }
    return base_rms * std::sqrt(power_gain / carriers) / interpolation_factor;
}

Interpolator::Interpolator(int32_t factor, const SimdKernels& kernels, Arithmetic arithmetic)
    : kernels_(&kernels) {
    if (factor == 2) {
        factor_ = 2;
        taps_ = interp_filter_2x.data();
        tap_counts_ = {15, 16, 0, 0};
    } else if (factor == 4) {
        factor_ = 4;
        taps_ = interp_filter_4x.data();
        tap_counts_ = {15, 16, 16, 16};
    }
    // Branch i makes output phase r = factor - 1 - i from taps r, r + P, ...
    for (int32_t branch = 0; branch < factor_; ++branch) {
        for (int32_t k = 0; k < tap_counts_[branch]; ++k) {
            branch_taps_[branch][k] = taps_[factor_ * k + factor_ - 1 - branch];
        }
        const int32_t phase = factor_ - 1 - branch;
        fast_counts_[phase] = tap_counts_[branch];
        for (int32_t k = 0; k < tap_counts_[branch]; ++k)
            fast_taps_[16 * phase + k] = taps_[factor_ * k + phase];
    }
    fast_ = arithmetic == Arithmetic::kFast && factor_ > 0;
}

void Interpolator::process(std::span<const ComplexSample> samples,
                           std::span<ComplexSample> interpolated) {
    if (factor_ == 0) return;
    const ComplexSample* input = samples.data();
    ComplexSample* output = interpolated.data();
    const int32_t count = static_cast<int32_t>(
        std::min(samples.size(), interpolated.size() / static_cast<size_t>(factor_)));
    // The branches are independent given the input history, so the block can be
    // taken in pieces, each through all branches: same outputs as one whole
    // block through branch 0, then branch 1, and so on.
    if (fast_) {
        // The first kHistory outputs from the history and the first inputs,
        // the others straight from the input (which holds all they read).
        const int32_t head = std::min(kHistory, count);
        std::memcpy(fast_window_.data() + 2 * kHistory, input, sizeof(ComplexSample) * head);
        kernels_->fast_interpolate(fast_window_.data() + 2 * kHistory, head, fast_taps_.data(),
                                   fast_counts_.data(), factor_, output);
        if (count > head)
            kernels_->fast_interpolate(&input[head].re, count - head, fast_taps_.data(),
                                       fast_counts_.data(), factor_,
                                       output + static_cast<size_t>(factor_) * head);
        push_history(samples.first(static_cast<size_t>(count)));
        return;
    }
    for (int32_t done = 0; done < count; done += kBlock) {
        const int32_t samples = std::min(kBlock, count - done);
        double* fresh = window_.data() + 2 * kHistory;
        for (int32_t j = 0; j < samples; ++j) {
            fresh[2 * j] = input[done + j].re;
            fresh[2 * j + 1] = input[done + j].im;
        }
        ComplexSample* block_output = output + static_cast<size_t>(factor_) * done;
        for (int32_t branch = 0; branch < factor_; ++branch) {
            run_branch(branch, samples, block_output);
        }
        // Keep the newest kHistory samples in front of the next block.
        std::memmove(window_.data(), window_.data() + 2 * samples, sizeof(double) * 2 * kHistory);
    }
}

void Interpolator::push_history(std::span<const ComplexSample> samples) {
    const size_t taken = std::min(samples.size(), static_cast<size_t>(kHistory));
    const size_t kept = kHistory - taken;
    if (fast_) {
        std::memmove(fast_window_.data(), fast_window_.data() + 2 * taken,
                     sizeof(float) * 2 * kept);
        if (taken > 0)
            std::memcpy(fast_window_.data() + 2 * kept, samples.data() + samples.size() - taken,
                        sizeof(ComplexSample) * taken);
        return;
    }
    // The newest `kept` samples of the old history move to the front.
    std::memmove(window_.data(), window_.data() + 2 * taken, sizeof(double) * 2 * kept);
    const ComplexSample* newest = samples.data() + samples.size() - taken;
    for (size_t j = 0; j < taken; ++j) {
        window_[2 * (kept + j)] = newest[j].re;
        window_[2 * (kept + j) + 1] = newest[j].im;
    }
}

void Interpolator::run_branch(int32_t branch, int32_t samples, ComplexSample* output) const {
    const int32_t phase = factor_ - 1 - branch;
    // newest[2 j] is input sample j of the block; tap k reads sample j - k.
    kernels_->interpolate_branch(window_.data() + 2 * kHistory, samples,
                                 branch_taps_[branch].data(), tap_counts_[branch], factor_,
                                 output + phase);
}

}  // namespace terramod
