// Test streams for the io folder: a TsSource over memory and a generator of
// transport streams with exactly known packet times and PCRs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "io/ts_source.h"

namespace terramod::test {

inline constexpr size_t kPacket = 188;
inline constexpr int64_t kPcrModulus = (int64_t{1} << 33) * 300;
// The useful bit rates of 8 MHz 2k QPSK 1/2 1/32 and 64QAM 2/3 1/32.
inline constexpr double kDefaultChannel = 6032085.561497327;
inline constexpr double kFastChannel = 24128342.245989308;

using Bytes = std::vector<uint8_t>;

// Hands out a stream held in memory, each read filling the block whole until
// the end; counts what it handed out.
class MemoryTsSource : public TsSource {
  public:
    explicit MemoryTsSource(Bytes bytes) : bytes_(std::move(bytes)) {}
    size_t read_packets(std::span<uint8_t> block) override {
        const size_t count = std::min(block.size(), bytes_.size() - position_);
        if (count > 0) std::memcpy(block.data(), bytes_.data() + position_, count);
        position_ += count;
        return count;
    }
    std::optional<uint64_t> known_length() const override { return bytes_.size(); }
    bool has_more_input() override { return position_ < bytes_.size(); }
    uint64_t bytes_taken() const override { return position_; }
    size_t bytes_read() const { return position_; }

  private:
    Bytes bytes_;
    size_t position_ = 0;
};

// Reads `source` to its end in blocks of `block_packets` packets.
inline Bytes read_all(TsSource& source, size_t block_packets, size_t max_bytes = 1u << 30) {
    Bytes out;
    Bytes block(block_packets * kPacket);
    while (out.size() < max_bytes) {
        const size_t got = source.read_packets(block);
        out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(got));
        if (got < block.size()) break;
    }
    return out;
}

struct StreamPlan {
    double rate = 4e6;  // bit/s the packets are sent at
    double seconds = 1.0;
    double pcr_interval = 0.02;   // s between PCRs
    double null_share = 0.1;      // the share of null packets
    int64_t first_pcr = 1234567;  // 27 MHz ticks
    double drift = 0;             // the PCR clock's rate error grows from 0 to this
    bool tables = true;           // PAT and PMT every 0.1 s
    bool pcr = true;
    double jump_at = -1;          // s: a PCR discontinuity (indicator set) here
    int64_t jump_to = 0;          // the PCR value after the jump
    uint16_t second_pcr_pid = 0;  // a second programme with its own PCR, offset below
    int64_t second_offset = 0;
};

inline constexpr uint16_t kVideoPid = 0x100;
inline constexpr uint16_t kAudioPid = 0x101;
inline constexpr uint16_t kPmtPid = 0x1000;

// The PCR clock at time t (s) of the plan, before the modulus.
inline double plan_clock(const StreamPlan& plan, double t) {
    double ticks = 27e6 * (t + plan.drift * t * t / (2 * plan.seconds));
    if (plan.jump_at >= 0 && t >= plan.jump_at)
        return static_cast<double>(plan.jump_to) + (ticks - 27e6 * plan.jump_at);
    return static_cast<double>(plan.first_pcr) + ticks;
}

inline void put_pcr(uint8_t* packet, int64_t ticks) {
    ticks %= kPcrModulus;
    const int64_t base = ticks / 300, extension = ticks % 300;
    packet[6] = static_cast<uint8_t>(base >> 25);
    packet[7] = static_cast<uint8_t>(base >> 17);
    packet[8] = static_cast<uint8_t>(base >> 9);
    packet[9] = static_cast<uint8_t>(base >> 1);
    packet[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
    packet[11] = static_cast<uint8_t>(extension);
}

inline int64_t get_pcr(const uint8_t* packet) {
    const int64_t base = (int64_t{packet[6]} << 25) | (int64_t{packet[7]} << 17) |
                         (int64_t{packet[8]} << 9) | (int64_t{packet[9]} << 1) | (packet[10] >> 7);
    return base * 300 + (((packet[10] & 1) << 8) | packet[11]);
}

inline uint16_t pid_of(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
inline bool has_pcr(const uint8_t* packet) {
    return (packet[3] & 0x20) && packet[4] >= 7 && (packet[5] & 0x10);
}

// A PSI section of one packet: table id, the body after the 8-byte header
// fields, CRC bytes left as zeros (nothing here checks them).
inline void put_section(uint8_t* packet, uint8_t table_id, const std::vector<uint8_t>& body) {
    packet[4] = 0;  // pointer field
    uint8_t* section = packet + 5;
    const size_t length = 5 + body.size() + 4;
    section[0] = table_id;
    section[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    section[2] = static_cast<uint8_t>(length);
    section[3] = 0;
    section[4] = 1;
    section[5] = 0xC1;
    section[6] = section[7] = 0;
    std::copy(body.begin(), body.end(), section + 8);
    std::fill(section + 8 + body.size(), packet + kPacket, 0xFF);
}

// The stream of `plan`: packet i is sent at i x 1504 / rate seconds; PCR
// packets on the video PID every pcr_interval carry the plan's clock at that
// time; every other packet has a payload no other packet shares.
inline Bytes make_stream(const StreamPlan& plan) {
    const double packet_time = 8.0 * kPacket / plan.rate;
    const auto count = static_cast<size_t>(std::llround(plan.seconds / packet_time));
    Bytes out(count * kPacket);
    uint8_t counters[0x2000] = {};
    uint32_t random = 12345;
    double next_pcr = 0, next_tables = 0, next_second_pcr = plan.pcr_interval / 2;
    bool jumped = false;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* packet = out.data() + i * kPacket;
        const double t = static_cast<double>(i) * packet_time;
        random = random * 1103515245u + 12345u;
        uint16_t pid = (random >> 16) % 4 == 0 ? kAudioPid : kVideoPid;
        bool pcr_here = false, second_here = false;
        if (plan.tables && t >= next_tables) {
            pid = (static_cast<int>(next_tables * 10) % 2 == 0) ? 0 : kPmtPid;
            next_tables += 0.05;
        } else if (plan.pcr && t >= next_pcr) {
            pid = kVideoPid;
            pcr_here = true;
            next_pcr += plan.pcr_interval;
        } else if (plan.second_pcr_pid && t >= next_second_pcr) {
            pid = plan.second_pcr_pid;
            second_here = true;
            next_second_pcr += plan.pcr_interval;
        } else if (((random >> 8) & 0xFFFF) < plan.null_share * 65536) {
            pid = 0x1FFF;
        }
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((pid == 0 || pid == kPmtPid ? 0x40 : 0) | (pid >> 8));
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | (counters[pid]++ & 0x0F));
        for (size_t k = 4; k < kPacket; ++k) packet[k] = static_cast<uint8_t>(i * 31 + k * 7);
        std::memcpy(packet + 20, &i, sizeof i);  // every payload differs
        if (pid == 0x1FFF) {
            std::fill(packet + 4, packet + kPacket, 0xFF);
        } else if (pid == 0) {
            std::vector<uint8_t> programs = {0, 1, 0xE0 | (kPmtPid >> 8), kPmtPid & 0xFF};
            if (plan.second_pcr_pid) programs.insert(programs.end(), {0, 2, 0xE0 | 0x10, 0x01});
            put_section(packet, 0x00, programs);
        } else if (pid == kPmtPid) {
            put_section(packet, 0x02, {0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF, 0xF0, 0});
        }
        if (pcr_here || second_here) {
            packet[3] = static_cast<uint8_t>(0x30 | (packet[3] & 0x0F));
            packet[4] = 7;
            const bool jump = pcr_here && plan.jump_at >= 0 && t >= plan.jump_at && !jumped;
            packet[5] = static_cast<uint8_t>(0x10 | (jump ? 0x80 : 0));
            jumped = jumped || jump;
            const double clock = plan_clock(plan, t) + (second_here ? plan.second_offset : 0);
            put_pcr(packet, static_cast<int64_t>(std::llround(clock)));
        }
    }
    return out;
}

}  // namespace terramod::test
