// Throughput of the OFDM modulation stages: IFFT with guard interval, and the
// DAC output shaping.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ofdm/dac_output.h"
#include "ofdm/fast_ifft.h"
#include "ofdm/ifft.h"
#include "tests/ofdm/reference_ifft.h"

namespace terramod {
namespace {

std::vector<ComplexSample> random_samples(size_t count, float amplitude) {
    std::mt19937 generator(12345);
    std::uniform_real_distribution<float> value(-amplitude, amplitude);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

constexpr int32_t kSymbolsPerRun = 8;

// Transform only (no placement or prefix): literal recurrence per butterfly.
// Every iteration transforms the same symbol. Transforming the previous
// output again, scaled by 0.02, ran the 8k bins to NaN within 400 iterations
// and the 2k bins down to subnormals within 1100, so the baseline timed
// arithmetic on values no signal has. The copy costs a few percent.
void BM_LiteralTransform(benchmark::State& state) {
    DvbtSettings config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    const int32_t size = fft_size[config.mode];
    const auto symbol = random_samples(size, 1.0f);
    std::vector<ComplexSample> bins(symbol.size());
    for (auto _ : state) {
        std::copy(symbol.begin(), symbol.end(), bins.begin());
        literal_transform(bins.data(), size, fft_log2[config.mode]);
        benchmark::DoNotOptimize(bins.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LiteralTransform)->ArgName("mode")->Arg(kMode2k)->Arg(kMode8k);

// Arguments: mode, frequency mapping. Reports OFDM symbols per second.
void BM_IfftAndGuard(benchmark::State& state) {
    DvbtSettings config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    config.frequency_mapping = static_cast<FrequencyMapping>(state.range(1));
    config.guard_interval = kGuard1_32;
    Ifft ifft(config.mode, config.guard_interval, config.frequency_mapping);
    const int32_t cells = carrier_count[config.mode] * kSymbolsPerRun;
    const auto input = random_samples(cells, 1.0f);
    std::vector<ComplexSample> output(
        static_cast<size_t>(fft_size[config.mode] + ifft.guard_length()) * kSymbolsPerRun);
    for (auto _ : state) {
        ifft.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbolsPerRun, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IfftAndGuard)
    ->ArgNames({"mode", "mapping"})
    ->Args({kMode2k, kZeroIf})
    ->Args({kMode8k, kZeroIf})
    ->Args({kMode8k, kBasebandIf});

// One cycle of the default 2k setting (68 symbols of 2112 samples).
constexpr int32_t kCycleSamples = 68 * 2112;

void BM_Interpolate(benchmark::State& state) {
    Interpolator interpolator(static_cast<int32_t>(state.range(0)));
    const auto input = random_samples(kCycleSamples, 40.0f);
    std::vector<ComplexSample> output(static_cast<size_t>(interpolator.factor()) * kCycleSamples);
    for (auto _ : state) {
        interpolator.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["in samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kCycleSamples, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Interpolate)->ArgName("factor")->Arg(2)->Arg(4);

void BM_ConvertAgilent(benchmark::State& state) {
    AgilentConverter converter(compute_agilent_scale(kMode2k));
    const auto input = random_samples(kCycleSamples, 120.0f);
    std::vector<uint16_t> dac_i(kCycleSamples), dac_q(kCycleSamples);
    for (auto _ : state) {
        converter.convert_agilent(input, dac_i, dac_q);
        benchmark::DoNotOptimize(dac_i.data());
        benchmark::DoNotOptimize(dac_q.data());
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kCycleSamples, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertAgilent);

// The 8k transform and the interpolator by four on every kernel set this CPU
// runs (the benchmarks above use the widest): BM_Path/<set>/...
void BM_IfftPath(benchmark::State& state, const SimdKernels* kernels) {
    Ifft ifft(kMode8k, kGuard1_32, kZeroIf, *kernels);
    const auto input = random_samples(carrier_count[kMode8k] * kSymbolsPerRun, 1.0f);
    std::vector<ComplexSample> output(static_cast<size_t>(fft_size[kMode8k] + ifft.guard_length()) *
                                      kSymbolsPerRun);
    for (auto _ : state) {
        ifft.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbolsPerRun, benchmark::Counter::kIsRate);
}

// The same with --arithmetic fast.
void BM_FastIfftPath(benchmark::State& state, const SimdKernels* kernels) {
    const OfdmMode mode = static_cast<OfdmMode>(state.range(0));
    const Ifft ifft(mode, kGuard1_32, kZeroIf, *kernels);
    const FastIfft fast(ifft, mode, *kernels);
    const auto input = random_samples(carrier_count[mode] * kSymbolsPerRun, 1.0f);
    std::vector<ComplexSample> output(static_cast<size_t>(fft_size[mode] + ifft.guard_length()) *
                                      kSymbolsPerRun);
    for (auto _ : state) {
        fast.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbolsPerRun, benchmark::Counter::kIsRate);
}

void BM_InterpolatePath(benchmark::State& state, const SimdKernels* kernels,
                        Arithmetic arithmetic) {
    Interpolator interpolator(4, *kernels, arithmetic);
    const auto input = random_samples(kCycleSamples, 40.0f);
    std::vector<ComplexSample> output(4 * static_cast<size_t>(kCycleSamples));
    for (auto _ : state) {
        interpolator.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["in samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kCycleSamples, benchmark::Counter::kIsRate);
}

// The transform's passes one at a time, on the 8k symbol's bins, in the
// sequence the transform runs them: "first" = the placement and stages 1-2
// (from the cells), "two" = the five
// two-stage passes (stages 3-12), "one" = stage 13. Zero twiddles keep every
// pass a copy (a + 0 and a - 0), so the bins stay the same ordinary floats
// however often the passes run over them: no copy per iteration, and no
// overflow or subnormals to time instead of the arithmetic.
enum class Pass { kFirstTwo, kTwo, kOne };

// The 8k zero IF placement laid out as first_two_stages reads it.
std::vector<int32_t> gather_table() {
    const Ifft ifft(kMode8k, kGuard1_32, kZeroIf);
    const int32_t size = fft_size[kMode8k];
    std::vector<int32_t> table(size);
    for (int32_t position = 0; position < size; ++position) {
        int32_t bin = 0;
        for (int32_t bit = 0; bit < fft_log2[kMode8k]; ++bit)
            bin = 2 * bin + ((position >> bit) & 1);
        const int32_t group = position / (4 * kGatherBlocks), block = position / 4 % kGatherBlocks;
        table[4 * kGatherBlocks * group + kGatherBlocks * (position % 4) + block] =
            ifft.placement_cell(bin);
    }
    return table;
}

void BM_KernelPass(benchmark::State& state, const SimdKernels* kernels, Pass pass) {
    const int32_t size = fft_size[kMode8k];
    auto bins = random_samples(size, 1.0f);
    const auto cells = random_samples(carrier_count[kMode8k], 1.0f);
    const auto gather = gather_table();
    const std::vector<double> zero_twiddles(size, 0.0);
    const double* wr = zero_twiddles.data();
    const double* wi = zero_twiddles.data();
    for (auto _ : state) {
        if (pass == Pass::kFirstTwo)
            kernels->first_two_stages(cells.data(), gather.data(), bins.data(), size, wr, wi);
        if (pass == Pass::kTwo)
            for (int32_t half = 4; half < size / 2; half *= 4)
                kernels->two_stages(bins.data(), size, half, wr, wi);
        if (pass == Pass::kOne) kernels->one_stage(bins.data(), size, size / 2, wr, wi);
        benchmark::DoNotOptimize(bins.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

const bool kPathBenchmarks = [] {
    const std::pair<const char*, Pass> passes[] = {{"first_two_stages", Pass::kFirstTwo},
                                                   {"two_stages", Pass::kTwo},
                                                   {"one_stage", Pass::kOne}};
    for (const SimdKernels* kernels : available_kernels()) {
        for (const auto& [name, pass] : passes)
            benchmark::RegisterBenchmark(
                (std::string("BM_KernelPass/8k/") + kernels->name + "/" + name).c_str(),
                BM_KernelPass, kernels, pass);
        benchmark::RegisterBenchmark((std::string("BM_IfftPath/8k/") + kernels->name).c_str(),
                                     BM_IfftPath, kernels);
        benchmark::RegisterBenchmark(
            (std::string("BM_InterpolatePath/4x/") + kernels->name).c_str(), BM_InterpolatePath,
            kernels, Arithmetic::kExact);
        benchmark::RegisterBenchmark((std::string("BM_FastIfftPath/") + kernels->name).c_str(),
                                     BM_FastIfftPath, kernels)
            ->ArgName("mode")
            ->Arg(kMode2k)
            ->Arg(kMode8k);
        benchmark::RegisterBenchmark(
            (std::string("BM_FastInterpolatePath/4x/") + kernels->name).c_str(), BM_InterpolatePath,
            kernels, Arithmetic::kFast);
    }
    return true;
}();

}  // namespace
}  // namespace terramod
