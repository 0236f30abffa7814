// Throughput of the signal-quality stages: the --precise transform (compare
// with BM_IfftAndGuard), symbol windowing and the BB IF shift of the
// interpolated outputs.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ofdm/bb_if_shift.h"
#include "ofdm/ifft.h"
#include "ofdm/precise_ifft.h"
#include "ofdm/symbol_window.h"

namespace terramod {
namespace {

constexpr int32_t kSymbols = 8;

std::vector<ComplexSample> random_samples(size_t count) {
    std::mt19937 generator(12345);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

void report_symbols(benchmark::State& state) {
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbols, benchmark::Counter::kIsRate);
}

// Argument: mode.
void BM_PreciseIfftAndGuard(benchmark::State& state) {
    if (!PreciseIfft::available()) {
        state.SkipWithError("built without FFTW");
        return;
    }
    const auto mode = static_cast<OfdmMode>(state.range(0));
    Ifft ifft(mode, kGuard1_32, kZeroIf);
    PreciseIfft precise(ifft, mode);
    const auto input = random_samples(size_t(carrier_count[mode]) * kSymbols);
    std::vector<ComplexSample> output(size_t(fft_size[mode] + ifft.guard_length()) * kSymbols);
    for (auto _ : state) {
        precise.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    report_symbols(state);
}
BENCHMARK(BM_PreciseIfftAndGuard)->ArgName("mode")->Arg(kMode2k)->Arg(kMode8k);

// 8k, guard 1/4; argument: window length.
void BM_SymbolWindow(benchmark::State& state) {
    const int32_t size = fft_size[kMode8k], guard = size / 4;
    SymbolWindow window(static_cast<int32_t>(state.range(0)), size, guard);
    auto samples = random_samples(size_t(size + guard) * kSymbols);
    for (auto _ : state) {
        window.process(samples);
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    report_symbols(state);
}
BENCHMARK(BM_SymbolWindow)->ArgName("length")->Arg(64)->Arg(512);

// Argument: interpolation factor; one 8k symbol (guard 1/4) down and up.
void BM_BasebandIfShift(benchmark::State& state) {
    const auto factor = static_cast<int32_t>(state.range(0));
    const size_t base = size_t(fft_size[kMode8k]) * 5 / 4 * kSymbols;
    const auto input = random_samples(base);
    std::vector<ComplexSample> zero_if(base);
    auto interpolated = random_samples(base * factor);
    BasebandIfShifter shifter(factor);
    for (auto _ : state) {
        shifter.to_zero_if(input, zero_if);
        shifter.up_by_half_base_rate(interpolated);
        benchmark::DoNotOptimize(interpolated.data());
        benchmark::ClobberMemory();
    }
    report_symbols(state);
}
BENCHMARK(BM_BasebandIfShift)->ArgName("factor")->Arg(2)->Arg(4);

}  // namespace
}  // namespace terramod
