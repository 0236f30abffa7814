#include "ofdm/ifft.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace terramod {

namespace {

// 2 pi rounded to a 32-bit float (0x40C90FDB): the seed angles are derived
// from this value, so they are slightly larger than 2 pi / 2^s.
constexpr double kTwoPiFloat = 6.2831854820251465;

float f32(double value) {
    return static_cast<float>(value);
}

}  // namespace

Ifft::Ifft(OfdmMode mode, GuardInterval guard_interval, FrequencyMapping mapping,
           const SimdKernels& kernels)
    : mode_(mode),
      mapping_(mapping),
      guard_length_(static_cast<int32_t>(fft_size[mode] * guard_fraction[guard_interval])),
      kernels_(&kernels) {
    const int32_t size = fft_size[mode_];
    const int32_t stages = fft_log2[mode_];

    bit_reverse_table_.resize(size);
    for (int32_t i = 0; i < size; ++i) {
        int32_t reversed = 0;
        int32_t rest = i;
        for (int32_t bit = 0; bit < stages; ++bit) {
            reversed = 2 * reversed + (rest & 1);
            rest >>= 1;
        }
        bit_reverse_table_[i] = reversed;
    }

    seeds_.resize(stages);
    for (int32_t s = 1; s <= stages; ++s) {
        const double theta = kTwoPiFloat / static_cast<double>(1 << s);
        TwiddleSeeds& seed = seeds_[s - 1];
        seed.cos1 = f32(std::cos(theta));
        seed.sin1 = f32(std::sin(-theta));
        seed.cos2 = f32(std::cos(2.0 * theta));
        seed.sin2 = f32(std::sin(-2.0 * theta));
        seed.twice_cos = f32(2.0 * std::cos(theta));
    }
    build_twiddles();
    build_placement();
}

void Ifft::process(std::span<const ComplexSample> cells, std::span<ComplexSample> samples) {
    const size_t size = static_cast<size_t>(fft_size[mode_]);
    const size_t carriers = static_cast<size_t>(carrier_count[mode_]);
    const size_t guard = static_cast<size_t>(guard_length_);
    // Whole symbols only: a trailing partial symbol (outside the driver's
    // sizing) is left alone rather than read past the end of either span.
    const size_t symbols = std::min(cells.size() / carriers, samples.size() / (size + guard));
    for (size_t q = 0; q < symbols; ++q) {
        ComplexSample* symbol = samples.data() + q * (size + guard);
        ComplexSample* bins = symbol + guard;
        transform(cells.data() + q * carriers, bins);
        std::memcpy(symbol, bins + size - guard, sizeof(ComplexSample) * guard);
    }
}

// Bin b of the carrier placement receives cell placement_cell(b), or 0 when
// the result is negative (an unused bin).
int32_t Ifft::placement_cell(int32_t bin) const {
    const int32_t size = fft_size[mode_];
    const int32_t carriers = carrier_count[mode_];
    if (mapping_ == kZeroIf) {
        // Carrier k lands in bin (k - kc) mod N: the centre carrier at 0 Hz.
        const int32_t centre = (carriers - 1) / 2;
        const int32_t upper = (carriers + 1) / 2;
        if (bin < upper) return centre + bin;
        if (bin >= size - centre) return bin - (size - centre);
        return -1;
    }
    // BB IF: the same block moved up by N/2 bins.
    const int32_t first = (size - carriers + 1) / 2;
    return bin >= first && bin < first + carriers ? bin - first : -1;
}

void Ifft::build_placement() {
    // Bin b goes to position bit_reverse_table_[b]; the table is its own
    // inverse, so position p receives bin bit_reverse_table_[p]. The first
    // pass reads the table in groups of kGatherBlocks blocks of four
    // positions, position k of every block of a group together.
    const int32_t size = fft_size[mode_];
    gather_cells_.resize(size);
    for (int32_t position = 0; position < size; ++position) {
        const int32_t group = position / (4 * kGatherBlocks);
        const int32_t block = position / 4 % kGatherBlocks;
        const int32_t k = position % 4;
        gather_cells_[group * 4 * kGatherBlocks + k * kGatherBlocks + block] =
            placement_cell(bit_reverse_table_[position]);
    }
}

void Ifft::build_twiddles() {
    // The recurrence restarts from the same seeds in every group, so each
    // stage's sequence of twiddles is the same for all its groups: run it once
    // here, with exactly the operations of the transform.
    const int32_t size = fft_size[mode_];
    twiddle_re_.resize(size - 1);  // stages 1..m: 1 + 2 + ... + N/2 entries
    twiddle_im_.resize(size - 1);
    for (int32_t s = 1; s <= fft_log2[mode_]; ++s) {
        const TwiddleSeeds& seed = seeds_[s - 1];
        const int32_t half = 1 << (s - 1);
        float c1 = seed.cos1, c2 = seed.cos2, s1 = seed.sin1, s2 = seed.sin2;
        for (int32_t j = 0; j < half; ++j) {
            const float wr = f32(double{seed.twice_cos} * c1 - c2);
            c2 = c1;
            c1 = wr;
            const double wi = double{seed.twice_cos} * s1 - s2;
            s2 = s1;
            s1 = f32(wi);
            // Stage s occupies entries half - 1 .. 2 half - 2.
            twiddle_re_[half - 1 + j] = wr;
            twiddle_im_[half - 1 + j] = wi;
        }
    }
}

// The butterflies of a stage are independent of each other, so their order
// does not change the result. The passes take two stages at a time on four
// values kept in registers (radix-2 squared), halving the memory traffic;
// each butterfly is still exactly the recurrence's (see simd_kernels.h).
void Ifft::transform(const ComplexSample* cells, ComplexSample* bins) const {
    const int32_t size = fft_size[mode_];
    const int32_t stages = fft_log2[mode_];
    const double* wr = twiddle_re_.data();
    const double* wi = twiddle_im_.data();
    kernels_->first_two_stages(cells, gather_cells_.data(), bins, size, wr, wi);
    int32_t half = 4;  // stage 3
    for (int32_t s = 3; s + 1 <= stages; s += 2, half *= 4)
        kernels_->two_stages(bins, size, half, wr + half - 1, wi + half - 1);
    if (half < size) kernels_->one_stage(bins, size, half, wr + half - 1, wi + half - 1);
}

}  // namespace terramod
