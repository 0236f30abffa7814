// libFuzzer harness: any bytes as the packet of a MIP (PID 0x0015), the
// first 188 of them (fewer are padded with 0xFF). A packet that parses
// encodes back to one that parses to the same fields, and what it addresses
// to any transmitter and the emission time it gives stay in range.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "sfn/megaframe_schedule.h"
#include "sfn/mip.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terramod;
    std::array<uint8_t, kPacketLength> packet;
    packet.fill(0xFF);
    std::copy(data, data + std::min(size, packet.size()), packet.begin());
    MipError error = MipError::kNone;
    const std::optional<Mip> mip = parse_mip(packet, &error);
    require(mip.has_value() == (error == MipError::kNone));
    if (!mip) return 0;
    require(mip->sts_100ns <= kMipTimeLimit && mip->max_delay_100ns <= kMipTimeLimit);
    const std::optional<std::array<uint8_t, kPacketLength>> again = encode_mip(*mip, packet[3]);
    require(again.has_value());
    require(parse_mip(*again) == mip);
    const uint16_t tx_id = size > 1 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
    const MipTransmitterFunctions functions = functions_for(*mip, tx_id);
    if (functions.time_offset_100ns)
        require(*functions.time_offset_100ns >= -32768 && *functions.time_offset_100ns <= 32767);
    if (functions.frequency_offset_hz)
        require(*functions.frequency_offset_hz >= -(1 << 23) &&
                *functions.frequency_offset_hz < (1 << 23));
    const int64_t after_pulse = mip_emission_after_pulse_ns(*mip, tx_id, 0);
    const int64_t expected = int64_t{1'800'000'000} * 1'000'000'000;
    const int64_t emission = emission_nearest(after_pulse, 0, expected);
    require(emission - expected <= 500'000'000 && expected - emission < 500'000'000);
    return 0;
}
