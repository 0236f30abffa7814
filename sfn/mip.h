// The Mega-frame Initialization Packet (MIP) of ETSI TS 101 191: the packet
// of PID 0x0015 an SFN adapter puts into every mega-frame of the transport
// stream, and its individual addressing functions.
//
// Layout after the 4-byte transport packet header (TS 101 191 clause 5.1):
//   synchronization_id 8 (0x00: SFN synchronization)
//   section_length 8 (the bytes after it up to and including CRC_32)
//   pointer 16, periodic_flag 1, future_use 15
//   synchronization_time_stamp 24, maximum_delay 24, tps_mip 32
//   individual_addressing_length 8, then for each transmitter:
//     tx_identifier 16, function_loop_length 8, functions
//   CRC_32 (ISO/IEC 13818-1 Annex A) over synchronization_id .. the last
//   addressing byte; 0xFF stuffing to the end of the packet.
// A function is function_tag 8, function_length 8, then its body;
// function_length is the whole function's length, its tag and length bytes
// included (as ETSI TS 102 773 clause 5.2.8.2 restates TS 101 191 clause
// 6.1), so a time offset function has length 4.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

inline constexpr uint16_t kMipPid = 0x0015;
inline constexpr uint16_t kNullPid = 0x1FFF;
// synchronization_time_stamp and maximum_delay: 0 .. 0x98967F (just under
// one second in 100 ns steps).
inline constexpr uint32_t kMipTimeLimit = 9'999'999;

// The function tags of TS 101 191.
enum MipFunctionTag : uint8_t {
    kTxTimeOffsetFunction = 0x00,       // time_offset 16, signed, 100 ns
    kTxFrequencyOffsetFunction = 0x01,  // frequency_offset 24, signed, 1 Hz
    kTxPowerFunction = 0x02,            // tx_power 16, 0.1 dBm
    kPrivateDataFunction = 0x03,
    kCellIdFunction = 0x04,  // cell_id 16, wait_for_enable_flag 1, 7 reserved
    kEnableFunction = 0x05,
    kBandwidthFunction = 0x06,
};

// One function as it is carried: its tag and the bytes after function_length.
// The body holds at most 253 bytes.
struct MipFunction {
    uint8_t tag = 0;
    std::vector<uint8_t> body;
    bool operator==(const MipFunction&) const = default;
};

struct MipAddressing {
    uint16_t tx_identifier = 0;  // 0: every transmitter
    std::vector<MipFunction> functions;
    bool operator==(const MipAddressing&) const = default;
};

struct Mip {
    // The packets between the MIP and the first packet of the next
    // mega-frame, neither counted: the MIP at position m of the stream and
    // the next mega-frame starting at n give n - m - 1.
    uint16_t pointer = 0;
    bool periodic = true;
    // Time after the last 1 PPS pulse at which the next mega-frame's first
    // bit leaves the SFN adapter, in 100 ns.
    uint32_t sts_100ns = 0;
    // Time from the STS to the emission of that mega-frame at every
    // antenna, in 100 ns.
    uint32_t max_delay_100ns = 0;
    uint32_t tps_mip = 0;
    std::vector<MipAddressing> addressing;
    bool operator==(const Mip&) const = default;
};

// The bytes a MIP's fields take from synchronization_id to CRC_32; the
// packet holds at most 184.
size_t mip_section_bytes(const Mip& mip);
inline constexpr size_t kMipMaxSectionBytes = 184;

// The 188-byte packet: header (PID 0x0015, payload_unit_start_indicator 1,
// transport_priority 1, not scrambled, payload only, `continuity`), the
// fields, CRC_32 and 0xFF stuffing. Nothing when the fields do not fit (see
// mip_section_bytes) or a time is out of range.
std::optional<std::array<uint8_t, kPacketLength>> encode_mip(const Mip& mip, uint8_t continuity);

enum class MipError {
    kNone,
    kNotMip,          // no sync byte, another PID, or no payload
    kBadSyncId,       // synchronization_id other than 0x00
    kBadLength,       // a length field runs past its container
    kBadCrc,          // CRC_32 does not check
    kTimeOutOfRange,  // STS or maximum_delay above 9 999 999
};
std::string_view mip_error_name(MipError error);

// Parses a packet of PID 0x0015; nothing (with *error set when given) when
// it is no valid MIP.
std::optional<Mip> parse_mip(std::span<const uint8_t, kPacketLength> packet,
                             MipError* error = nullptr);

// The CRC_32 of ISO/IEC 13818-1 Annex A (polynomial 0x04C11DB7, initial
// value 0xFFFFFFFF, no reflection, no final inversion).
uint32_t mpeg_crc32(std::span<const uint8_t> bytes);

// tx_time_offset_function: a signed 16-bit offset in 100 ns steps
// (-3.2768 ms .. +3.2767 ms). Nothing when out of range.
std::optional<MipFunction> tx_time_offset_function(int64_t offset_100ns);
// tx_frequency_offset_function: a signed 24-bit offset in 1 Hz steps
// (-8 388 608 .. +8 388 607 Hz). Nothing when out of range.
std::optional<MipFunction> tx_frequency_offset_function(int64_t offset_hz);
// tx_power_function: 16 bits in 0.1 dBm steps (0 .. 6553.5 dBm, rounded to
// the nearest step). Nothing when out of range.
std::optional<MipFunction> tx_power_function(double power_dbm);
// cell_id_function: cell_id 16, wait_for_enable_flag 1, 7 bits for future
// use (0).
MipFunction cell_id_function(uint16_t cell_id, bool wait_for_enable = false);

// What a MIP addresses to one transmitter: the functions of tx_identifier 0
// (every transmitter), overridden by those of its own identifier.
struct MipTransmitterFunctions {
    std::optional<int64_t> time_offset_100ns;
    std::optional<int64_t> frequency_offset_hz;
    std::optional<int64_t> power_decidbm;  // 0.1 dBm
    std::optional<uint16_t> cell_id;
    bool operator==(const MipTransmitterFunctions&) const = default;
};
// For `tx_identifier`, or with nothing for a transmitter without one (which
// takes only what is addressed to every transmitter). A function whose body
// is too short for its fields is ignored.
MipTransmitterFunctions functions_for(const Mip& mip, std::optional<uint16_t> tx_identifier);
// The time offset (100 ns) that `mip` addresses to `tx_identifier` (itself
// or every transmitter), or nothing when it addresses none to it.
std::optional<int64_t> tx_time_offset_of(const Mip& mip, uint16_t tx_identifier);

// tps_mip (32 bits, first bit first): constellation 2, hierarchy 3,
// code_rate 3, guard_interval 2, transmission_mode 2, bandwidth 2,
// priority 1, time_slicing 1, mpe_fec 1, 15 bits for future use (0).
// The coding of each field is EN 300 744's TPS coding; bandwidth is
// 00 7 MHz, 01 8 MHz, 10 6 MHz, 11 another bandwidth.
enum MipBandwidth : uint32_t {
    kMipBandwidth7MHz = 0,
    kMipBandwidth8MHz = 1,
    kMipBandwidth6MHz = 2,
    kMipBandwidthOther = 3
};
MipBandwidth mip_bandwidth_of(int64_t bandwidth_hz);
// For the stream of `settings` the MIP travels in: the high-priority (or
// only) one, or with `low_priority` the low-priority one.
uint32_t tps_mip_for(const DvbtSettings& settings, MipBandwidth bandwidth,
                     bool low_priority = false);

struct TpsMipFields {
    Constellation constellation;
    Hierarchy hierarchy;
    CodeRate code_rate;
    GuardInterval guard_interval;
    OfdmMode mode;
    MipBandwidth bandwidth;
    bool high_priority;
};
// Nothing when a field holds a reserved value.
std::optional<TpsMipFields> tps_mip_fields(uint32_t tps_mip);

}  // namespace terramod
