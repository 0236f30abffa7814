// Throughput of the inner coding stages on one 8k cycle of eight OFDM symbols
// (items are input elements: bytes for the encoder, bits for the puncturer
// and the bit interleaver, cells for the symbol interleaver and the mapper).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"

namespace terramod {
namespace {

constexpr int32_t kSymbols = 8;
constexpr int32_t kCells = 6048 * kSymbols;

std::vector<uint8_t> random_values(size_t count, uint32_t mask) {
    std::mt19937 rng(1);
    std::vector<uint8_t> values(count);
    for (auto& v : values) v = static_cast<uint8_t>(rng() & mask);
    return values;
}

void BM_ConvEncode(benchmark::State& state) {
    const int32_t bytes = kCells * 6 * 7 / 8 / 8;  // 64QAM 7/8
    std::vector<uint8_t> input = random_values(bytes, 0xFF), output(16 * bytes);
    ConvEncoder encoder;
    encoder.reset();
    for (auto _ : state) {
        encoder.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * bytes);
    state.counters["coded_bits/s"] =
        benchmark::Counter(double(state.iterations()) * 16 * bytes, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvEncode);

void BM_Puncture(benchmark::State& state) {
    const auto rate = static_cast<CodeRate>(state.range(0));
    static const int32_t kPeriod[] = {2, 4, 6, 10, 14};
    const int32_t bits = kCells * 6 / kPeriod[rate] * kPeriod[rate];
    std::vector<uint8_t> input = random_values(bits, 1), output(bits);
    Puncturer puncturer(rate);
    puncturer.reset();
    for (auto _ : state) {
        benchmark::DoNotOptimize(puncturer.process(input, output));
    }
    state.SetItemsProcessed(state.iterations() * bits);
}
BENCHMARK(BM_Puncture)->DenseRange(0, 4);

void BM_BitInterleave(benchmark::State& state) {
    const auto constellation = static_cast<Constellation>(state.range(0));
    const int32_t bits = kCells * bits_per_cell[constellation];
    std::vector<uint8_t> input = random_values(bits, 1), output(kCells);
    BitInterleaver interleaver(constellation);
    for (auto _ : state) {
        interleaver.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * bits);
}
BENCHMARK(BM_BitInterleave)->DenseRange(0, 2);

// Hierarchical transmission: two HP bits and v - 2 LP bits a cell.
void BM_BitInterleaveHierarchical(benchmark::State& state) {
    const auto constellation = static_cast<Constellation>(state.range(0));
    const int32_t lp_bits = kCells * (bits_per_cell[constellation] - 2);
    std::vector<uint8_t> hp = random_values(2 * kCells, 1), lp = random_values(lp_bits, 1);
    std::vector<uint8_t> output(kCells);
    BitInterleaver interleaver(constellation);
    for (auto _ : state) {
        interleaver.process_hierarchical(hp, lp, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * (2 * kCells + lp_bits));
}
BENCHMARK(BM_BitInterleaveHierarchical)->DenseRange(1, 2);

// The packed path: eight bits to a byte through encoder, puncturer and bit
// interleaver (items as above).
void BM_ConvEncodePacked(benchmark::State& state) {
    const int32_t bytes = kCells * 6 * 7 / 8 / 8;  // 64QAM 7/8
    std::vector<uint8_t> input = random_values(bytes, 0xFF), output(2 * bytes);
    ConvEncoder encoder;
    encoder.reset();
    for (auto _ : state) {
        encoder.process_packed(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_ConvEncodePacked);

void BM_PuncturePacked(benchmark::State& state) {
    const auto rate = static_cast<CodeRate>(state.range(0));
    static const int32_t kPeriod[] = {2, 4, 6, 10, 14};
    const int32_t bits = kCells * 6 / (8 * kPeriod[rate]) * (8 * kPeriod[rate]);
    std::vector<uint8_t> input = random_values(bits / 8, 0xFF), output(bits / 8);
    Puncturer puncturer(rate);
    puncturer.reset();
    for (auto _ : state) {
        benchmark::DoNotOptimize(puncturer.process_packed(input, output));
    }
    state.SetItemsProcessed(state.iterations() * bits);
}
BENCHMARK(BM_PuncturePacked)->DenseRange(0, 4);

void BM_BitInterleavePacked(benchmark::State& state) {
    const auto constellation = static_cast<Constellation>(state.range(0));
    const int32_t bits = kCells * bits_per_cell[constellation];
    std::vector<uint8_t> input = random_values(bits / 8, 0xFF), output(kCells);
    BitInterleaver interleaver(constellation);
    for (auto _ : state) {
        interleaver.process_packed(input, 0, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * bits);
}
BENCHMARK(BM_BitInterleavePacked)->DenseRange(0, 2);

void BM_SymbolInterleave(benchmark::State& state) {
    std::vector<uint8_t> input = random_values(kCells, 63), output(kCells);
    SymbolInterleaver interleaver(kMode8k);
    for (auto _ : state) {
        interleaver.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_SymbolInterleave);

void BM_MapSymbols(benchmark::State& state) {
    std::vector<uint8_t> input = random_values(kCells, 63);
    std::vector<ComplexSample> output(kCells);
    Mapper mapper(kQam64, kAlpha2);
    for (auto _ : state) {
        mapper.process(input, output);
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_MapSymbols);

}  // namespace
}  // namespace terramod
