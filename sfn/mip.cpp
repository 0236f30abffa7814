#include "sfn/mip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace terramod {

namespace {

constexpr size_t kHeaderBytes = 4;
// synchronization_id .. individual_addressing_length.
constexpr size_t kFixedBytes = 17;
constexpr size_t kCrcBytes = 4;
// function_tag and function_length, both counted in function_length.
constexpr size_t kFunctionHeaderBytes = 2;

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
void put24(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 16));
    put16(out, value);
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    put24(out, value);
}
uint32_t get(std::span<const uint8_t> bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[at + i];
    return value;
}

size_t addressing_bytes(const MipAddressing& entry) {
    size_t bytes = 3;
    for (const MipFunction& function : entry.functions)
        bytes += kFunctionHeaderBytes + function.body.size();
    return bytes;
}

// A MIP's fields from synchronization_id to the last addressing byte;
// nothing when a length field would overflow.
std::optional<std::vector<uint8_t>> section_without_crc(const Mip& mip) {
    if (mip.sts_100ns > kMipTimeLimit || mip.max_delay_100ns > kMipTimeLimit) return std::nullopt;
    const size_t total = mip_section_bytes(mip);
    if (total > kMipMaxSectionBytes) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(total);
    out.push_back(0x00);                             // synchronization_id
    out.push_back(static_cast<uint8_t>(total - 2));  // section_length
    put16(out, mip.pointer);
    put16(out, mip.periodic ? 0x8000u : 0u);  // periodic_flag, future_use
    put24(out, mip.sts_100ns);
    put24(out, mip.max_delay_100ns);
    put32(out, mip.tps_mip);
    out.push_back(static_cast<uint8_t>(total - kFixedBytes - kCrcBytes));
    for (const MipAddressing& entry : mip.addressing) {
        put16(out, entry.tx_identifier);
        out.push_back(static_cast<uint8_t>(addressing_bytes(entry) - 3));
        for (const MipFunction& function : entry.functions) {
            out.push_back(function.tag);
            out.push_back(static_cast<uint8_t>(kFunctionHeaderBytes + function.body.size()));
            out.insert(out.end(), function.body.begin(), function.body.end());
        }
    }
    return out;
}

}  // namespace

uint32_t mpeg_crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= static_cast<uint32_t>(byte) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

size_t mip_section_bytes(const Mip& mip) {
    size_t bytes = kFixedBytes + kCrcBytes;
    for (const MipAddressing& entry : mip.addressing) bytes += addressing_bytes(entry);
    return bytes;
}

std::optional<std::array<uint8_t, kPacketLength>> encode_mip(const Mip& mip, uint8_t continuity) {
    std::optional<std::vector<uint8_t>> section = section_without_crc(mip);
    if (!section) return std::nullopt;
    put32(*section, mpeg_crc32(*section));
    std::array<uint8_t, kPacketLength> packet;
    packet.fill(0xFF);
    packet[0] = kSyncByte;
    // payload_unit_start_indicator 1, transport_priority 1, PID 0x0015.
    packet[1] = 0x60 | static_cast<uint8_t>(kMipPid >> 8);
    packet[2] = static_cast<uint8_t>(kMipPid & 0xFF);
    // Not scrambled, payload only.
    packet[3] = 0x10 | (continuity & 0x0F);
    std::copy(section->begin(), section->end(), packet.begin() + kHeaderBytes);
    return packet;
}

std::string_view mip_error_name(MipError error) {
    switch (error) {
        case MipError::kNone:
            return "no error";
        case MipError::kNotMip:
            return "not a MIP packet";
        case MipError::kBadSyncId:
            return "unknown synchronization_id";
        case MipError::kBadLength:
            return "a length field runs past its end";
        case MipError::kBadCrc:
            return "CRC_32 error";
        case MipError::kTimeOutOfRange:
            return "time stamp out of range";
    }
    return "unknown error";
}

std::optional<Mip> parse_mip(std::span<const uint8_t, kPacketLength> packet, MipError* error) {
    MipError ignored;
    MipError& result = error ? *error : ignored;
    result = MipError::kNone;
    const auto fail = [&result](MipError why) {
        result = why;
        return std::nullopt;
    };
    const uint16_t pid = static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
    // Payload only or payload after an adaptation field.
    const uint8_t adaptation = (packet[3] >> 4) & 0x3;
    if (packet[0] != kSyncByte || pid != kMipPid || !(adaptation & 0x1))
        return fail(MipError::kNotMip);
    size_t start = kHeaderBytes;
    if (adaptation == 0x3) start += 1 + packet[4];
    if (start + kFixedBytes + kCrcBytes > kPacketLength) return fail(MipError::kBadLength);
    const std::span<const uint8_t> payload = std::span<const uint8_t>(packet).subspan(start);
    if (payload[0] != 0x00) return fail(MipError::kBadSyncId);
    const size_t section_length = payload[1];
    if (section_length + 2 > payload.size() || section_length < kFixedBytes - 2 + kCrcBytes)
        return fail(MipError::kBadLength);
    const size_t crc_at = 2 + section_length - kCrcBytes;
    const size_t addressing_length = payload[16];
    if (kFixedBytes + addressing_length != crc_at) return fail(MipError::kBadLength);
    if (mpeg_crc32(payload.first(crc_at + kCrcBytes)) != 0) return fail(MipError::kBadCrc);

    Mip mip;
    mip.pointer = static_cast<uint16_t>(get(payload, 2, 2));
    mip.periodic = (payload[4] & 0x80) != 0;
    mip.sts_100ns = get(payload, 6, 3);
    mip.max_delay_100ns = get(payload, 9, 3);
    mip.tps_mip = get(payload, 12, 4);
    if (mip.sts_100ns > kMipTimeLimit || mip.max_delay_100ns > kMipTimeLimit)
        return fail(MipError::kTimeOutOfRange);
    size_t at = kFixedBytes;
    while (at < crc_at) {
        if (at + 3 > crc_at) return fail(MipError::kBadLength);
        MipAddressing entry;
        entry.tx_identifier = static_cast<uint16_t>(get(payload, at, 2));
        const size_t loop_end = at + 3 + payload[at + 2];
        if (loop_end > crc_at) return fail(MipError::kBadLength);
        at += 3;
        while (at < loop_end) {
            if (at + kFunctionHeaderBytes > loop_end) return fail(MipError::kBadLength);
            const size_t function_length = payload[at + 1];
            if (function_length < kFunctionHeaderBytes || at + function_length > loop_end)
                return fail(MipError::kBadLength);
            MipFunction function;
            function.tag = payload[at];
            const auto body =
                payload.subspan(at + kFunctionHeaderBytes, function_length - kFunctionHeaderBytes);
            function.body.assign(body.begin(), body.end());
            entry.functions.push_back(std::move(function));
            at += function_length;
        }
        mip.addressing.push_back(std::move(entry));
    }
    return mip;
}

std::optional<MipFunction> tx_time_offset_function(int64_t offset_100ns) {
    if (offset_100ns < INT16_MIN || offset_100ns > INT16_MAX) return std::nullopt;
    const auto bits = static_cast<uint16_t>(static_cast<int16_t>(offset_100ns));
    return MipFunction{kTxTimeOffsetFunction,
                       {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)}};
}

std::optional<MipFunction> tx_frequency_offset_function(int64_t offset_hz) {
    constexpr int64_t kLimit = 1 << 23;
    if (offset_hz < -kLimit || offset_hz >= kLimit) return std::nullopt;
    const auto bits = static_cast<uint32_t>(offset_hz) & 0xFFFFFFu;
    return MipFunction{kTxFrequencyOffsetFunction,
                       {static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                        static_cast<uint8_t>(bits & 0xFF)}};
}

std::optional<MipFunction> tx_power_function(double power_dbm) {
    const double steps = std::round(power_dbm * 10.0);
    if (!(steps >= 0.0 && steps <= 65535.0)) return std::nullopt;
    const auto bits = static_cast<uint16_t>(steps);
    return MipFunction{kTxPowerFunction,
                       {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)}};
}

MipFunction cell_id_function(uint16_t cell_id, bool wait_for_enable) {
    return MipFunction{kCellIdFunction,
                       {static_cast<uint8_t>(cell_id >> 8), static_cast<uint8_t>(cell_id & 0xFF),
                        static_cast<uint8_t>(wait_for_enable ? 0x80 : 0x00)}};
}

namespace {

// One function's fields into `out`; a body too short for them is ignored.
void take_function(const MipFunction& function, MipTransmitterFunctions& out) {
    const std::vector<uint8_t>& body = function.body;
    switch (function.tag) {
        case kTxTimeOffsetFunction:
            if (body.size() >= 2)
                out.time_offset_100ns = static_cast<int16_t>(body[0] << 8 | body[1]);
            break;
        case kTxFrequencyOffsetFunction:
            if (body.size() >= 3) {
                // Sign-extend the 24-bit two's complement value.
                const int32_t raw = body[0] << 16 | body[1] << 8 | body[2];
                out.frequency_offset_hz = raw >= (1 << 23) ? raw - (1 << 24) : raw;
            }
            break;
        case kTxPowerFunction:
            if (body.size() >= 2) out.power_decidbm = body[0] << 8 | body[1];
            break;
        case kCellIdFunction:
            if (body.size() >= 2) out.cell_id = static_cast<uint16_t>(body[0] << 8 | body[1]);
            break;
        default:
            break;
    }
}

}  // namespace

MipTransmitterFunctions functions_for(const Mip& mip, std::optional<uint16_t> tx_identifier) {
    MipTransmitterFunctions functions;
    // Every transmitter's first, so that a transmitter's own override them.
    for (const bool own : {false, true}) {
        for (const MipAddressing& entry : mip.addressing) {
            const bool addressed =
                own ? tx_identifier && *tx_identifier != 0 && entry.tx_identifier == *tx_identifier
                    : entry.tx_identifier == 0;
            if (!addressed) continue;
            for (const MipFunction& function : entry.functions) take_function(function, functions);
        }
    }
    return functions;
}

std::optional<int64_t> tx_time_offset_of(const Mip& mip, uint16_t tx_identifier) {
    return functions_for(mip, tx_identifier).time_offset_100ns;
}

MipBandwidth mip_bandwidth_of(int64_t bandwidth_hz) {
    switch (bandwidth_hz) {
        case 6'000'000:
            return kMipBandwidth6MHz;
        case 7'000'000:
            return kMipBandwidth7MHz;
        case 8'000'000:
            return kMipBandwidth8MHz;
        default:
            return kMipBandwidthOther;
    }
}

uint32_t tps_mip_for(const DvbtSettings& settings, MipBandwidth bandwidth, bool low_priority) {
    // EN 300 744 clause 4.6.2: guard 00 1/32, 01 1/16, 10 1/8, 11 1/4.
    const uint32_t guard = 3u - static_cast<uint32_t>(settings.guard_interval);
    const CodeRate rate = low_priority ? settings.lp_code_rate : settings.code_rate;
    return static_cast<uint32_t>(settings.constellation) << 30 |
           static_cast<uint32_t>(settings.hierarchy) << 27 | static_cast<uint32_t>(rate) << 24 |
           guard << 22 | static_cast<uint32_t>(settings.mode) << 20 |
           static_cast<uint32_t>(bandwidth) << 18 | (low_priority ? 0u : 1u) << 17;
}

std::optional<TpsMipFields> tps_mip_fields(uint32_t tps_mip) {
    const uint32_t constellation = tps_mip >> 30;
    const uint32_t hierarchy = tps_mip >> 27 & 0x7;
    const uint32_t rate = tps_mip >> 24 & 0x7;
    const uint32_t mode = tps_mip >> 20 & 0x3;
    if (constellation > kQam64 || hierarchy > kAlpha4 || rate > kRate7_8 || mode > kMode8k)
        return std::nullopt;
    return TpsMipFields{static_cast<Constellation>(constellation),
                        static_cast<Hierarchy>(hierarchy),
                        static_cast<CodeRate>(rate),
                        static_cast<GuardInterval>(3 - (tps_mip >> 22 & 0x3)),
                        static_cast<OfdmMode>(mode),
                        static_cast<MipBandwidth>(tps_mip >> 18 & 0x3),
                        (tps_mip >> 17 & 0x1) != 0};
}

}  // namespace terramod
