// Throughput of the channel simulator's stages on one core, against real
// time: each runs over one cycle of the 2k output (68 symbols, guard 1/32)
// at 1x, 2x or 4x of an 8 MHz channel, its tasks one after the other.
// "x real time" above 1 keeps up with the signal on one core; the tasks of
// the stages that work sample by sample share the --threads. The clock
// offset's resampler is one task, on the output's thread.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "channel/channel_stages.h"
#include "channel/clock_offset_resampler.h"

namespace terramod {
namespace {

constexpr double kBaseRate = 64e6 / 7;
constexpr size_t kCycleSamples = 143616;

std::vector<ComplexSample> random_samples(size_t count) {
    std::mt19937 generator(12345);
    std::normal_distribution<float> value(0.0f, 30.0f);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

// Samples per second, and seconds of signal per second at `sample_rate`.
void report_rates(benchmark::State& state, size_t samples_per_iteration, double sample_rate) {
    const double processed = static_cast<double>(state.iterations()) * samples_per_iteration;
    state.counters["samples/s"] = benchmark::Counter(processed, benchmark::Counter::kIsRate);
    state.counters["x real time"] =
        benchmark::Counter(processed / sample_rate, benchmark::Counter::kIsRate);
}

// Argument: interpolation factor.
void run_channel(benchmark::State& state, const ChannelSettings& settings) {
    const auto factor = static_cast<size_t>(state.range(0));
    const ChannelSignal signal{kBaseRate * static_cast<double>(factor), 1705 * kBaseRate / 2048,
                               1841.9 / static_cast<double>(factor * factor)};
    const auto stages = make_channel_stages(settings, signal);
    auto samples = random_samples(kCycleSamples * factor);
    for (auto _ : state) {
        for (const std::shared_ptr<SampleStage>& stage : stages) {
            const int32_t tasks = stage->task_count(samples.size());
            if (stage->starts_cycles()) stage->start_cycle(samples);
            for (int32_t task = 0; task < tasks; ++task) stage->process(samples, task, tasks);
        }
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    report_rates(state, samples.size(), signal.sample_rate);
}

void BM_ChannelAwgn(benchmark::State& state) {
    ChannelSettings settings;
    settings.cn_db = 20;
    run_channel(state, settings);
}
BENCHMARK(BM_ChannelAwgn)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

void BM_ChannelFrequencyOffset(benchmark::State& state) {
    ChannelSettings settings;
    settings.frequency_offset_hz = 1250.5;
    run_channel(state, settings);
}
BENCHMARK(BM_ChannelFrequencyOffset)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

void BM_ChannelPhaseNoise(benchmark::State& state) {
    ChannelSettings settings;
    settings.phase_noise = PhaseNoiseSpec{-80, 1e4};
    run_channel(state, settings);
}
BENCHMARK(BM_ChannelPhaseNoise)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

void BM_ChannelIqImbalance(benchmark::State& state) {
    ChannelSettings settings;
    settings.iq_imbalance = IqImbalanceSpec{0.5, 2};
    run_channel(state, settings);
}
BENCHMARK(BM_ChannelIqImbalance)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

// All four, in the path's order.
void BM_ChannelEveryImpairment(benchmark::State& state) {
    ChannelSettings settings;
    settings.cn_db = 20;
    settings.frequency_offset_hz = 1250.5;
    settings.phase_noise = PhaseNoiseSpec{-80, 1e4};
    settings.iq_imbalance = IqImbalanceSpec{0.5, 2};
    run_channel(state, settings);
}
BENCHMARK(BM_ChannelEveryImpairment)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

// The sampling clock offset (--clock-offset), which the output path applies
// after the stages: 30 taps at 1x, 8 at 4x, one cycle a push.
void BM_ChannelClockOffset(benchmark::State& state) {
    const auto factor = static_cast<size_t>(state.range(0));
    const ChannelSignal signal{kBaseRate * static_cast<double>(factor), 1705 * kBaseRate / 2048,
                               1841.9 / static_cast<double>(factor * factor)};
    ClockOffsetResampler resampler(12.5, signal);
    const auto samples = random_samples(kCycleSamples * factor);
    resampler.reserve(samples.size());
    for (auto _ : state) {
        const std::span<const ComplexSample> output = resampler.push(samples);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    report_rates(state, samples.size(), signal.sample_rate);
}
BENCHMARK(BM_ChannelClockOffset)->ArgName("factor")->Arg(1)->Arg(4)->UseRealTime();

}  // namespace
}  // namespace terramod
