#include "ofdm/fast_ifft.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "common/exact_math.h"

namespace terramod {

FastIfft::FastIfft(const Ifft& ifft, OfdmMode mode, const SimdKernels& kernels)
    : kernels_(&kernels),
      size_(fft_size[mode]),
      carriers_(carrier_count[mode]),
      guard_length_(ifft.guard_length()) {
    // The placement as runs of consecutive cells and of unused bins.
    for (int32_t bin = 0; bin < size_; ++bin) {
        const int32_t cell = ifft.placement_cell(bin);
        if (!runs_.empty()) {
            Run& last = runs_.back();
            const bool unused = cell < 0 && last.first < 0;
            const bool follows = cell >= 0 && last.first >= 0 && cell == last.first + last.count;
            if (unused || follows) {
                ++last.count;
                continue;
            }
        }
        runs_.push_back({bin, 1, cell < 0 ? -1 : cell});
    }

    // The first level (radix 4, no twiddles), radix 4 after P = 4, 16, ...
    // while two sequences are left, then radix 2.
    assert(fft_log2[mode] % 2 == 1);
    struct Shape {
        int32_t length, radix;
    };
    std::vector<Shape> shapes;
    for (int32_t length = 4; 8 * length <= size_; length *= 4) shapes.push_back({length, 4});
    shapes.push_back({size_ / 2, 2});
    size_t floats = 0;
    for (const Shape& shape : shapes)
        floats += static_cast<size_t>(2 * (shape.radix - 1) * shape.length);
    twiddles_.resize(floats);
    float* table = twiddles_.data();
    for (const Shape& shape : shapes) {
        // p^q = e^{2 pi i q n1 / (radix P)}: the turns are exact.
        const int32_t length = shape.length;
        for (int32_t q = 1; q < shape.radix; ++q) {
            float* re = table + 2 * (q - 1) * length;
            float* im = re + length;
            for (int32_t n1 = 0; n1 < length; ++n1) {
                double sine = 0, cosine = 0;
                sincos_turns(q * n1 / (static_cast<double>(shape.radix) * length), sine, cosine);
                re[n1] = static_cast<float>(cosine);
                im[n1] = static_cast<float>(sine);
            }
        }
        levels_.push_back({length, shape.radix, table});
        table += 2 * (shape.radix - 1) * length;
    }
    plan_ = {size_, levels_.data(), static_cast<int32_t>(levels_.size())};
}

void FastIfft::process(std::span<const ComplexSample> cells,
                       std::span<ComplexSample> samples) const {
    const size_t size = static_cast<size_t>(size_);
    const size_t guard = static_cast<size_t>(guard_length_);
    const size_t carriers = static_cast<size_t>(carriers_);
    const size_t symbols = std::min(cells.size() / carriers, samples.size() / (size + guard));
    // Two buffers of real and imaginary parts between the levels; on the
    // stack, so that threads may transform symbols side by side.
    alignas(64) float scratch[4 * kMaxSize];
    for (size_t q = 0; q < symbols; ++q) {
        ComplexSample* symbol = samples.data() + q * (size + guard);
        ComplexSample* useful = symbol + guard;
        const ComplexSample* symbol_cells = cells.data() + q * carriers;
        for (const Run& run : runs_) {
            if (run.first < 0)
                std::memset(useful + run.begin, 0, sizeof(ComplexSample) * run.count);
            else
                std::memcpy(useful + run.begin, symbol_cells + run.first,
                            sizeof(ComplexSample) * run.count);
        }
        kernels_->fast_transform(useful, plan_, scratch);
        std::memcpy(symbol, useful + size - guard, sizeof(ComplexSample) * guard);
    }
}

}  // namespace terramod
