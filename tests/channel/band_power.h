// Measurements of the channel tests, independent of the code they check: a
// plain radix-2 FFT in double precision, the mean power of a signal within
// a band, and a stage run the way the chain runs it.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <numbers>
#include <span>
#include <utility>
#include <vector>

#include "dvbt/dvbt.h"
#include "ofdm/sample_stage.h"

namespace terramod::test {

using Complex = std::complex<double>;

// In place, size a power of two: X[k] = sum x[n] e^{-j 2 pi k n / N}.
inline void fft(std::vector<Complex>& x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2 * std::numbers::pi / static_cast<double>(length);
        for (size_t start = 0; start < n; start += length) {
            for (size_t k = 0; k < length / 2; ++k) {
                const Complex w = std::polar(1.0, angle * static_cast<double>(k));
                const Complex even = x[start + k];
                const Complex odd = x[start + k + length / 2] * w;
                x[start + k] = even + odd;
                x[start + k + length / 2] = even - odd;
            }
        }
    }
}

// The mean power of `signal` (sampled at `rate`) within |f| <= half_band,
// from the FFTs of consecutive blocks of `block` samples (rectangular window:
// for white noise every bin has the same expected power, and by Parseval
// the bins' powers / block^2 add up to the mean power of the block).
inline double band_power(std::span<const Complex> signal, double rate, double half_band,
                         size_t block = 4096) {
    double sum = 0;
    size_t blocks = 0;
    std::vector<Complex> x(block);
    for (size_t start = 0; start + block <= signal.size(); start += block, ++blocks) {
        std::copy_n(signal.begin() + static_cast<std::ptrdiff_t>(start), block, x.begin());
        fft(x);
        for (size_t k = 0; k < block; ++k) {
            const double bin = k < block / 2 ? static_cast<double>(k)
                                             : static_cast<double>(k) - static_cast<double>(block);
            if (std::fabs(bin * rate / static_cast<double>(block)) <= half_band)
                sum += std::norm(x[k]);
        }
    }
    return sum / (static_cast<double>(block) * static_cast<double>(block) * blocks);
}

inline double mean_power(std::span<const Complex> signal) {
    double sum = 0;
    for (const Complex& value : signal) sum += std::norm(value);
    return sum / static_cast<double>(signal.size());
}

inline std::vector<Complex> as_complex(std::span<const ComplexSample> samples) {
    std::vector<Complex> values(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) values[i] = {samples[i].re, samples[i].im};
    return values;
}

// output - input, in double.
inline std::vector<Complex> difference(std::span<const ComplexSample> output,
                                       std::span<const ComplexSample> input) {
    std::vector<Complex> values(output.size());
    for (size_t i = 0; i < output.size(); ++i)
        values[i] = {double{output[i].re} - input[i].re, double{output[i].im} - input[i].im};
    return values;
}

// Runs `stages` over `samples` as the chain does: cycle after cycle (the
// lengths of `cycles`, the last repeated until the samples end), each stage
// in turn started once when it asks, then its tasks. `tasks` 0 takes each
// stage's own count; `reverse` runs the tasks last to first (threads may
// take them in any order).
inline void run_stages(std::span<SampleStage* const> stages, std::span<ComplexSample> samples,
                       std::vector<size_t> cycles = {}, int32_t tasks = 0, bool reverse = false) {
    if (cycles.empty()) cycles.push_back(samples.size());
    size_t done = 0;
    for (size_t c = 0; done < samples.size(); ++c) {
        const size_t length =
            std::min(cycles[std::min(c, cycles.size() - 1)], samples.size() - done);
        const std::span<ComplexSample> cycle = samples.subspan(done, length);
        for (SampleStage* stage : stages) {
            const int32_t count = tasks > 0 ? tasks : stage->task_count(length);
            if (count > 0 && stage->starts_cycles()) stage->start_cycle(cycle);
            for (int32_t t = 0; t < count; ++t)
                stage->process(cycle, reverse ? count - 1 - t : t, count);
        }
        done += length;
    }
}

inline void run_stage(SampleStage& stage, std::span<ComplexSample> samples,
                      std::vector<size_t> cycles = {}, int32_t tasks = 0, bool reverse = false) {
    SampleStage* const stages[] = {&stage};
    run_stages(stages, samples, std::move(cycles), tasks, reverse);
}

}  // namespace terramod::test
