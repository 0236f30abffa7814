#include "ofdm/symbol_window.h"

#include <cmath>
#include <numbers>

namespace terramod {

SymbolWindow::SymbolWindow(int32_t length, int32_t fft_size, int32_t guard_length)
    : length_(length),
      fft_size_(fft_size),
      guard_length_(guard_length),
      rising_(length),
      falling_(length),
      previous_start_(length, ComplexSample{0.0f, 0.0f}) {
    // The cosine of the first half, mirrored with its sign changed, so the
    // weights are symmetric to the bit: rising[i] == falling[N - 1 - i].
    std::vector<double> cosine(length, 0.0);
    for (int32_t i = 0; i < length / 2; ++i) {
        cosine[i] = std::cos(std::numbers::pi * (i + 0.5) / length);
        cosine[length - 1 - i] = -cosine[i];
    }
    for (int32_t i = 0; i < length; ++i) {
        rising_[i] = 0.5 - 0.5 * cosine[i];
        falling_[i] = 0.5 + 0.5 * cosine[i];
    }
}

void SymbolWindow::process(std::span<ComplexSample> samples) {
    const size_t symbol_length = static_cast<size_t>(fft_size_ + guard_length_);
    const size_t symbols = samples.size() / symbol_length;
    for (size_t q = 0; q < symbols; ++q) {
        ComplexSample* symbol = samples.data() + q * symbol_length;
        const ComplexSample* useful = symbol + guard_length_;
        for (int32_t i = 0; i < length_; ++i) {
            const ComplexSample now = symbol[i];
            const ComplexSample before = previous_start_[i];
            symbol[i].re = static_cast<float>(rising_[i] * now.re + falling_[i] * before.re);
            symbol[i].im = static_cast<float>(rising_[i] * now.im + falling_[i] * before.im);
        }
        // The useful part starts after the guard, beyond the samples changed.
        for (int32_t i = 0; i < length_; ++i) previous_start_[i] = useful[i];
    }
}

}  // namespace terramod
