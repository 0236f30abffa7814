#include "ofdm/precise_ifft.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#if TERRAMOD_HAVE_FFTW
#include <fftw3.h>
#endif

namespace terramod {

#if TERRAMOD_HAVE_FFTW

struct PreciseIfft::Plan {
    fftw_complex* bins = nullptr;
    fftw_complex* time = nullptr;
    fftw_plan plan = nullptr;

    explicit Plan(int32_t size) {
        bins = fftw_alloc_complex(static_cast<size_t>(size));
        time = fftw_alloc_complex(static_cast<size_t>(size));
        if (bins && time) {
            // FFTW_BACKWARD: x[n] = sum over b of X[b] e^{+j 2 pi b n / N},
            // unnormalised, as the default transform.
            plan = fftw_plan_dft_1d(size, bins, time, FFTW_BACKWARD,
                                    FFTW_ESTIMATE | FFTW_NO_SIMD | FFTW_DESTROY_INPUT);
        }
        if (!plan) {
            release();
            throw std::bad_alloc();
        }
    }
    ~Plan() { release(); }

    void release() {
        if (plan) fftw_destroy_plan(plan);
        fftw_free(bins);
        fftw_free(time);
        plan = nullptr;
        bins = time = nullptr;
    }
};

bool PreciseIfft::available() {
    return true;
}

#else

struct PreciseIfft::Plan {};

bool PreciseIfft::available() {
    return false;
}

#endif

PreciseIfft::PreciseIfft(const Ifft& ifft, OfdmMode mode)
    : size_(fft_size[mode]), carriers_(carrier_count[mode]), guard_length_(ifft.guard_length()) {
#if TERRAMOD_HAVE_FFTW
    bin_cell_.resize(size_);
    for (int32_t bin = 0; bin < size_; ++bin) bin_cell_[bin] = ifft.placement_cell(bin);
    plan_ = std::make_unique<Plan>(size_);
#else
    throw std::runtime_error("this build of terramod has no FFTW");
#endif
}

PreciseIfft::~PreciseIfft() = default;

void PreciseIfft::process(std::span<const ComplexSample> cells, std::span<ComplexSample> samples) {
#if TERRAMOD_HAVE_FFTW
    const size_t size = static_cast<size_t>(size_);
    const size_t guard = static_cast<size_t>(guard_length_);
    const size_t carriers = static_cast<size_t>(carriers_);
    const size_t symbols = std::min(cells.size() / carriers, samples.size() / (size + guard));
    fftw_complex* bins = plan_->bins;
    const fftw_complex* time = plan_->time;
    for (size_t q = 0; q < symbols; ++q) {
        const ComplexSample* symbol_cells = cells.data() + q * carriers;
        for (size_t b = 0; b < size; ++b) {
            const int32_t cell = bin_cell_[b];
            bins[b][0] = cell < 0 ? 0.0 : double{symbol_cells[cell].re};
            bins[b][1] = cell < 0 ? 0.0 : double{symbol_cells[cell].im};
        }
        fftw_execute(plan_->plan);
        // The one rounding: each double result to the nearest float.
        ComplexSample* symbol = samples.data() + q * (size + guard);
        ComplexSample* useful = symbol + guard;
        for (size_t n = 0; n < size; ++n) {
            useful[n] =
                ComplexSample{static_cast<float>(time[n][0]), static_cast<float>(time[n][1])};
        }
        std::memcpy(symbol, useful + size - guard, sizeof(ComplexSample) * guard);
    }
#else
    (void)cells;
    (void)samples;
#endif
}

}  // namespace terramod
