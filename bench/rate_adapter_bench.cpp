// Rate adaptation of a 4 Mbit/s stream (10 % null packets, PCR every 20 ms)
// to the default channel, 6.032086 Mbit/s, read in default cycles of 63
// packets. Bytes processed are output bytes.
#include <benchmark/benchmark.h>

#include "io/ts_rate_adapter.h"
#include "tests/io/ts_test_support.h"

namespace terramod {
namespace {

void BM_RateAdaptation(benchmark::State& state) {
    test::StreamPlan plan;
    plan.rate = 4e6;
    plan.seconds = 2.0;
    const test::Bytes stream = test::make_stream(plan);
    std::vector<uint8_t> block(63 * 188);
    size_t bytes = 0;
    Log quiet(-1, nullptr);
    for (auto _ : state) {
        test::MemoryTsSource source(stream);
        RateAdaptingSource adapter(source, test::kDefaultChannel, kSpacing8MHz, quiet);
        for (;;) {
            const size_t got = adapter.read_packets(block);
            bytes += got;
            benchmark::DoNotOptimize(block.data());
            if (got < block.size()) break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_RateAdaptation);

}  // namespace
}  // namespace terramod
