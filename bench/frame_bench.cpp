// Throughput of the frame builder, against the plain carrier-by-carrier merge
// of the three position sequences it replaces.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ofdm/frame_builder.h"
#include "tests/ofdm/reference_frame_builder.h"

namespace terramod {
namespace {

constexpr int32_t kSymbolsPerCycle = 68;

std::vector<ComplexSample> random_cells(size_t count) {
    std::mt19937 generator(4711);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<ComplexSample> cells(count);
    for (ComplexSample& cell : cells) cell = {value(generator), value(generator)};
    return cells;
}

template <typename Builder>
void run_cycles(benchmark::State& state, Builder& builder, OfdmMode mode) {
    const int32_t cells = data_carrier_count[mode] * kSymbolsPerCycle;
    const auto input = random_cells(cells);
    std::vector<ComplexSample> output(static_cast<size_t>(carrier_count[mode]) * kSymbolsPerCycle);
    for (auto _ : state) {
        builder.process(input, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbolsPerCycle, benchmark::Counter::kIsRate);
}

// Argument: mode.
void BM_FrameBuilder(benchmark::State& state) {
    DvbtSettings config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    FrameBuilder builder(config);
    run_cycles(state, builder, config.mode);
}
BENCHMARK(BM_FrameBuilder)->Arg(kMode2k)->Arg(kMode8k);

void BM_FrameBuilderCarrierByCarrier(benchmark::State& state) {
    DvbtSettings config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    ReferenceFrameBuilder builder(config);
    run_cycles(state, builder, config.mode);
}
BENCHMARK(BM_FrameBuilderCarrierByCarrier)->Arg(kMode2k)->Arg(kMode8k);

}  // namespace
}  // namespace terramod
