// Cost of the channel simulator's echo stage on one core: one cycle of the
// default 2k setting (68 symbols of 2112 samples) at 64/7 MHz x 4, through
// start_cycle and every task in turn. "signal s/s" is the seconds of signal
// done in a second (its inverse, the cost of a second of signal).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "channel/echo_stage.h"

namespace terramod {
namespace {

constexpr size_t kCycleSamples = 68 * 2112 * 4;
constexpr double kRate = 64e6 / 7 * 4;

std::vector<ComplexSample> random_samples(size_t count) {
    std::mt19937 generator(12345);
    std::normal_distribution<float> value(0.0f, 0.3f);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

// Arguments: profile (1 F1, 2 P1), maximum Doppler (Hz, 0 for none).
void BM_EchoStage(benchmark::State& state) {
    ChannelSettings settings;
    settings.echo_profile = static_cast<EchoProfile>(state.range(0));
    if (state.range(1) > 0) settings.doppler_hz = static_cast<double>(state.range(1));
    const auto stage = make_echo_stage(settings, kRate);
    const auto input = random_samples(kCycleSamples);
    std::vector<ComplexSample> samples(kCycleSamples);
    const int32_t tasks = stage->task_count(kCycleSamples);
    for (auto _ : state) {
        samples = input;
        stage->start_cycle(samples);
        for (int32_t task = 0; task < tasks; ++task) stage->process(samples, task, tasks);
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    const double cycles = static_cast<double>(state.iterations());
    state.counters["samples/s"] =
        benchmark::Counter(cycles * kCycleSamples, benchmark::Counter::kIsRate);
    state.counters["signal s/s"] =
        benchmark::Counter(cycles * kCycleSamples / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EchoStage)
    ->ArgNames({"profile", "doppler"})
    ->Args({static_cast<int64_t>(EchoProfile::kFixedF1), 0})
    ->Args({static_cast<int64_t>(EchoProfile::kPortableP1), 0})
    ->Args({static_cast<int64_t>(EchoProfile::kPortableP1), 100})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace terramod
