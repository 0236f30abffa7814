// Throughput of the frame builder, against the plain carrier-by-carrier merge
// of the three position sequences it replaces.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ofdm/frame_builder.h"

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

// The carrier-by-carrier algorithm with three cursors, for comparison.
class CarrierByCarrierBuilder {
  public:
    explicit CarrierByCarrierBuilder(const TxConfig& config) : mode_(config.mode), tps_(config) {}

    void add_pilots_and_tps(const ComplexSample* input, ComplexSample* output, int32_t count) {
        const auto& continual = FrameBuilder::continual_pilot_carriers();
        const auto& tps_positions = FrameBuilder::tps_carriers();
        const auto& w = FrameBuilder::pilot_reference();
        const int32_t carriers = carrier_count[mode_];
        int32_t in = 0;
        int32_t out = 0;
        while (in < count) {
            counters_.frame_symbol_index = (counters_.frame_symbol_index + 1) % 68;
            if (counters_.frame_symbol_index == 0) {
                counters_.frame_index = (counters_.frame_index + 1) % 4;
                tps_.build_tps_word(counters_.frame_index);
                if (counters_.frame_index == 0) ++counters_.superframe_index;
            }
            const int32_t l = counters_.frame_symbol_index;
            int32_t sp = 3 * (l % 4);
            size_t cp = 0;
            size_t tp = 0;
            for (int32_t k = 0; k < carriers; ++k) {
                const float pilot = w[k] ? -4.0f / 3.0f : 4.0f / 3.0f;
                bool is_data = true;
                if (k == sp) {
                    output[out] = {pilot, 0.0f};
                    sp += 12;
                    is_data = false;
                }
                if (cp < continual.size() && k == continual[cp]) {
                    output[out] = {pilot, 0.0f};
                    ++cp;
                } else if (tp < tps_positions.size() && k == tps_positions[tp]) {
                    float v = l == 0 ? (w[k] ? -1.0f : 1.0f) : tps_state_[tp];
                    if (l > 0 && tps_.tps_bits()[l]) v = -v;
                    tps_state_[tp] = v;
                    output[out] = {v, 0.0f};
                    ++tp;
                } else if (is_data) {
                    output[out] = input[in++];
                }
                ++out;
            }
        }
    }

  private:
    OfdmMode mode_;
    TpsWord tps_;
    FrameCounters counters_;
    std::array<float, 68> tps_state_{};
};

template <typename Builder>
void run_cycles(benchmark::State& state, Builder& builder, OfdmMode mode) {
    const int32_t cells = data_carrier_count[mode] * kSymbolsPerCycle;
    const auto input = random_cells(cells);
    std::vector<ComplexSample> output(static_cast<size_t>(carrier_count[mode]) * kSymbolsPerCycle);
    for (auto _ : state) {
        builder.add_pilots_and_tps(input.data(), output.data(), cells);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["symbols/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSymbolsPerCycle, benchmark::Counter::kIsRate);
}

// Argument: mode.
void BM_FrameBuilder(benchmark::State& state) {
    TxConfig config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    FrameCounters counters;
    FrameBuilder builder(silent_log(), config, counters);
    run_cycles(state, builder, config.mode);
}
BENCHMARK(BM_FrameBuilder)->Arg(kMode2k)->Arg(kMode8k);

void BM_FrameBuilderCarrierByCarrier(benchmark::State& state) {
    TxConfig config;
    config.mode = static_cast<OfdmMode>(state.range(0));
    CarrierByCarrierBuilder builder(config);
    run_cycles(state, builder, config.mode);
}
BENCHMARK(BM_FrameBuilderCarrierByCarrier)->Arg(kMode2k)->Arg(kMode8k);

}  // namespace
}  // namespace terramod
