// Outer-coding stages on one default cycle (63 packets, 2k 4QAM 1/32 rate 1/2).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"

namespace terramod {
namespace {

constexpr int32_t kPackets = 63;
constexpr int32_t kTsBytes = kPackets * 188;
constexpr int32_t kRsBytes = kPackets * 204;

std::vector<uint8_t> random_stream(int32_t bytes) {
    std::mt19937 engine(1);
    std::vector<uint8_t> stream(bytes);
    for (auto& byte : stream) byte = static_cast<uint8_t>(engine());
    for (int32_t p = 0; p < bytes; p += 188) stream[p] = 0x47;
    return stream;
}

void BM_EnergyDispersal(benchmark::State& state) {
    EnergyDispersal stage;
    std::vector<uint8_t> block = random_stream(kTsBytes);
    for (auto _ : state) {
        stage.sync_invert(block);
        stage.process(block);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(state.iterations() * kTsBytes);
}
BENCHMARK(BM_EnergyDispersal);

void BM_ReedSolomon(benchmark::State& state) {
    ReedSolomonEncoder stage;
    const std::vector<uint8_t> input = random_stream(kTsBytes);
    std::vector<uint8_t> output(kRsBytes);
    for (auto _ : state) {
        stage.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * kTsBytes);
}
BENCHMARK(BM_ReedSolomon);

void BM_ReedSolomonReferenceBlock(benchmark::State& state) {
    ReedSolomonEncoder stage;
    const std::vector<uint8_t> message = random_stream(239);
    uint8_t parity[16];
    for (auto _ : state) {
        stage.encode_block(message.data(), parity);
        benchmark::DoNotOptimize(parity);
    }
    state.SetBytesProcessed(state.iterations() * 188);
}
BENCHMARK(BM_ReedSolomonReferenceBlock);

void BM_OuterInterleaver(benchmark::State& state) {
    OuterInterleaver stage(kInitRand);
    const std::vector<uint8_t> input = random_stream(kRsBytes);
    std::vector<uint8_t> output(kRsBytes);
    for (auto _ : state) {
        stage.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * kRsBytes);
}
BENCHMARK(BM_OuterInterleaver);

}  // namespace
}  // namespace terramod
