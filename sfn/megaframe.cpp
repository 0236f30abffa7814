#include "sfn/megaframe.h"

namespace terramod {

namespace {

// Code rates as fractions, indexed by CodeRate.
constexpr int64_t kRateNumerator[] = {1, 2, 3, 5, 7};
constexpr int64_t kRateDenominator[] = {2, 3, 4, 6, 8};
// Guard interval as a divisor of the FFT size, indexed by GuardInterval.
constexpr int64_t kGuardDivisor[] = {4, 8, 16, 32};
constexpr int64_t kBitsPerCodeword = kCodewordLength * 8;

}  // namespace

int32_t superframes_per_megaframe(OfdmMode mode) {
    return mode == kMode8k ? 2 : 8;
}

int64_t packets_per_superframe(const DvbtSettings& settings, bool low_priority) {
    int64_t bits = bits_per_cell[settings.constellation];
    CodeRate rate = settings.code_rate;
    if (settings.two_streams) {
        bits = low_priority ? bits - 2 : 2;
        if (low_priority) rate = settings.lp_code_rate;
    }
    const int64_t cells =
        int64_t{kFramesPerSuperframe} * kSymbolsPerFrame * data_carrier_count[settings.mode];
    return cells * bits * kRateNumerator[rate] / (kRateDenominator[rate] * kBitsPerCodeword);
}

int64_t packets_per_megaframe(const DvbtSettings& settings, bool low_priority) {
    return packets_per_superframe(settings, low_priority) *
           superframes_per_megaframe(settings.mode);
}

int64_t megaframe_samples(OfdmMode mode, GuardInterval guard_interval) {
    const int64_t fft = fft_size[mode];
    const int64_t frames = int64_t{superframes_per_megaframe(mode)} * kFramesPerSuperframe;
    return frames * kSymbolsPerFrame * (fft + fft / kGuardDivisor[guard_interval]);
}

std::optional<MegaframeClock> MegaframeClock::make(OfdmMode mode, GuardInterval guard_interval,
                                                   int64_t bandwidth_hz, int64_t start_ns) {
    if (bandwidth_hz <= 0) return std::nullopt;
    return MegaframeClock(megaframe_samples(mode, guard_interval), bandwidth_hz, start_ns);
}

int64_t MegaframeClock::start_of(int64_t megaframe) const {
    // 128-bit: mega-frame numbers of years of stream times 7e9 x samples.
    const __int128 numerator = static_cast<__int128>(megaframe) * samples_ * 7'000'000'000LL;
    const __int128 denominator = static_cast<__int128>(8) * bandwidth_hz_;
    __int128 offset = numerator / denominator;
    if (numerator % denominator < 0) --offset;  // floor for negative k
    return start_ns_ + static_cast<int64_t>(offset);
}

uint32_t MegaframeClock::sts_100ns_for(int64_t megaframe) const {
    int64_t within = start_of(megaframe + 1) % 1'000'000'000;
    if (within < 0) within += 1'000'000'000;
    return static_cast<uint32_t>(within / 100);
}

}  // namespace terramod
