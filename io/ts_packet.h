// The few fields of an MPEG-2 transport stream packet (ISO/IEC 13818-1 clause
// 2.4.3) that rate adaptation and --loop read or rewrite: PID, continuity
// counter, adaptation field flags, the programme clock reference (PCR) and the
// PES header's PTS/DTS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace terramod::ts {

inline constexpr size_t kPacketSize = 188;
inline constexpr uint8_t kSyncByte = 0x47;
inline constexpr uint16_t kNullPid = 0x1FFF;
inline constexpr uint16_t kPatPid = 0x0000;
// PCR ticks per second: the 27 MHz system clock.
inline constexpr double kClockRate = 27e6;
// PCR values count modulo 2^33 x 300 (base modulo 2^33, extension 0..299).
inline constexpr int64_t kPcrModulus = (int64_t{1} << 33) * 300;

inline uint16_t pid(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
inline bool is_synchronised(const uint8_t* packet) {
    return packet[0] == kSyncByte;
}
inline bool transport_error(const uint8_t* packet) {
    return (packet[1] & 0x80) != 0;
}
inline bool payload_unit_start(const uint8_t* packet) {
    return (packet[1] & 0x40) != 0;
}
inline bool has_adaptation_field(const uint8_t* packet) {
    return (packet[3] & 0x20) != 0;
}
inline bool has_payload(const uint8_t* packet) {
    return (packet[3] & 0x10) != 0;
}
inline bool is_null(const uint8_t* packet) {
    return is_synchronised(packet) && pid(packet) == kNullPid;
}

// A null packet (PID 0x1FFF, payload only, stuffing bytes 0xFF) with the
// continuity counter `continuity` (0..15).
inline void write_null_packet(uint8_t* packet, uint8_t continuity = 0) {
    packet[0] = kSyncByte;
    packet[1] = kNullPid >> 8;
    packet[2] = kNullPid & 0xFF;
    packet[3] = static_cast<uint8_t>(0x10 | (continuity & 0x0F));
    for (size_t index = 4; index < kPacketSize; ++index) packet[index] = 0xFF;
}

// True when the packet's adaptation field is long enough for its flags byte
// and the PCR flag is set (and the packet is not flagged as damaged).
inline bool carries_pcr(const uint8_t* packet) {
    return is_synchronised(packet) && !transport_error(packet) && has_adaptation_field(packet) &&
           packet[4] >= 7 && (packet[5] & 0x10) != 0;
}
inline bool discontinuity(const uint8_t* packet) {
    return has_adaptation_field(packet) && packet[4] >= 1 && (packet[5] & 0x80) != 0;
}

// The PCR in 27 MHz ticks: base x 300 + extension. Only for carries_pcr().
inline int64_t read_pcr(const uint8_t* packet) {
    const uint8_t* field = packet + 6;
    const int64_t base = (int64_t{field[0]} << 25) | (int64_t{field[1]} << 17) |
                         (int64_t{field[2]} << 9) | (int64_t{field[3]} << 1) | (field[4] >> 7);
    const int64_t extension = ((field[4] & 0x01) << 8) | field[5];
    return base * 300 + extension;
}

// Writes `ticks` (taken modulo 2^33 x 300) as base and extension, keeping the
// six reserved bits as they were.
inline void write_pcr(uint8_t* packet, int64_t ticks) {
    ticks %= kPcrModulus;
    if (ticks < 0) ticks += kPcrModulus;
    const int64_t base = ticks / 300;
    const int64_t extension = ticks % 300;
    uint8_t* field = packet + 6;
    field[0] = static_cast<uint8_t>(base >> 25);
    field[1] = static_cast<uint8_t>(base >> 17);
    field[2] = static_cast<uint8_t>(base >> 9);
    field[3] = static_cast<uint8_t>(base >> 1);
    field[4] = static_cast<uint8_t>(((base & 1) << 7) | (field[4] & 0x7E) | (extension >> 8));
    field[5] = static_cast<uint8_t>(extension & 0xFF);
}

// Ticks from `from` forward to `to` on the modular PCR clock, in [0, modulus).
inline int64_t pcr_advance(int64_t from, int64_t to) {
    int64_t delta = (to - from) % kPcrModulus;
    return delta < 0 ? delta + kPcrModulus : delta;
}

// adaptation_field_control: 01 payload only, 10 adaptation field only, 11
// both; 00 is reserved (a decoder discards the packet).
inline uint8_t adaptation_field_control(const uint8_t* packet) {
    return (packet[3] >> 4) & 0x03;
}
inline uint8_t continuity_counter(const uint8_t* packet) {
    return packet[3] & 0x0F;
}
inline void set_continuity_counter(uint8_t* packet, uint8_t counter) {
    packet[3] = static_cast<uint8_t>((packet[3] & 0xF0) | (counter & 0x0F));
}
// Sets discontinuity_indicator. Only for a packet with an adaptation field of
// at least its flags byte (every carries_pcr() packet has one).
inline void set_discontinuity(uint8_t* packet) {
    packet[5] |= 0x80;
}
// Where the payload starts: after the header and the adaptation field (past
// the packet's end for a malformed adaptation_field_length).
inline size_t payload_offset(const uint8_t* packet) {
    return has_adaptation_field(packet) ? size_t{5} + packet[4] : size_t{4};
}

// PES PTS and DTS (clause 2.4.3.7) count 90 kHz ticks modulo 2^33.
inline constexpr int64_t kTimestampModulus = int64_t{1} << 33;

// The stream_ids whose PES packets have no optional header, hence no PTS or
// DTS: program_stream_map, padding_stream, private_stream_2, ECM, EMM,
// program_stream_directory, DSMCC_stream, ITU-T H.222.1 type E.
inline bool has_optional_pes_header(uint8_t stream_id) {
    switch (stream_id) {
        case 0xBC:
        case 0xBE:
        case 0xBF:
        case 0xF0:
        case 0xF1:
        case 0xF2:
        case 0xF8:
        case 0xFF:
            return false;
        default:
            return stream_id >= 0xBC;  // below 0xBC is no stream_id at all
    }
}

// A PTS or DTS field of five bytes: a 4-bit prefix, then the 33 bits in
// pieces of 3, 15 and 15, each followed by a marker bit.
inline int64_t read_timestamp(const uint8_t* field) {
    return (int64_t{(field[0] >> 1) & 0x07} << 30) | (int64_t{field[1]} << 22) |
           (int64_t{field[2] >> 1} << 15) | (int64_t{field[3]} << 7) | (field[4] >> 1);
}
// Ticks from `from` to `to` on the modular 90 kHz clock, the shorter way
// round: in [-2^32, 2^32).
inline int64_t timestamp_difference(int64_t from, int64_t to) {
    int64_t delta = (to - from) % kTimestampModulus;
    if (delta < 0) delta += kTimestampModulus;
    return delta >= kTimestampModulus / 2 ? delta - kTimestampModulus : delta;
}
// Writes `ticks` (taken modulo 2^33), keeping the prefix and the marker bits.
inline void write_timestamp(uint8_t* field, int64_t ticks) {
    ticks %= kTimestampModulus;
    if (ticks < 0) ticks += kTimestampModulus;
    field[0] = static_cast<uint8_t>((field[0] & 0xF1) | ((ticks >> 29) & 0x0E));
    field[1] = static_cast<uint8_t>(ticks >> 22);
    field[2] = static_cast<uint8_t>((field[2] & 0x01) | ((ticks >> 14) & 0xFE));
    field[3] = static_cast<uint8_t>(ticks >> 7);
    field[4] = static_cast<uint8_t>((field[4] & 0x01) | ((ticks << 1) & 0xFE));
}

}  // namespace terramod::ts
