// The input health monitor on synthetic streams: every expected count is
// worked out by hand from ETSI TR 101 290 clause 5.2.1 and the stream's own
// construction. PAT and PMT sections carry a CRC_32 computed here bit by bit.
#include "io/ts_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace terramod {

void PrintTo(const TsHealthCounters& c, std::ostream* out) {
    *out << "{sync losses " << c.sync_losses << ", sync byte errors " << c.sync_byte_errors
         << ", PAT " << c.pat_errors << ", CC " << c.cc_errors << ", PMT " << c.pmt_errors
         << ", PID " << c.pid_errors << ", transport " << c.transport_errors << ", CRC "
         << c.crc_errors << "}";
}

namespace {

using Bytes = std::vector<uint8_t>;
using Packet = std::array<uint8_t, 188>;

constexpr uint16_t kPmtPid = 0x1000, kVideo = 0x100, kAudio = 0x101, kNull = 0x1FFF;

// CRC_32 of ISO/IEC 13818-1 Annex A, one bit at a time.
uint32_t mpeg_crc32(const Bytes& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : bytes)
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = ((crc >> 31) ^ (byte >> bit)) & 1;
            crc = (crc << 1) ^ (feedback ? 0x04C11DB7u : 0);
        }
    return crc;
}

uint8_t byte(unsigned value) {
    return static_cast<uint8_t>(value);
}

struct PacketFields {
    uint16_t pid = kVideo;
    int cc = -1;          // -1: the next of the PID
    uint8_t control = 1;  // adaptation_field_control
    bool start = false;   // payload_unit_start_indicator
    uint8_t scrambling = 0;
    bool discontinuity = false;
    bool damaged = false;  // transport_error_indicator
    uint8_t sync = 0x47;
    Bytes payload = {};
};

Packet make_packet(const PacketFields& fields, uint8_t cc) {
    Packet packet;
    packet.fill(0xFF);
    packet[0] = fields.sync;
    packet[1] = byte((fields.damaged ? 0x80 : 0) | (fields.start ? 0x40 : 0) | (fields.pid >> 8));
    packet[2] = byte(fields.pid);
    packet[3] = byte(fields.scrambling << 6 | fields.control << 4 | cc);
    size_t at = 4;
    if (fields.control & 2) {
        packet[4] = fields.control == 2 ? 183 : 1;
        packet[5] = fields.discontinuity ? 0x80 : 0x00;
        at = 5 + packet[4];
    }
    std::copy(fields.payload.begin(), fields.payload.end(), packet.begin() + at);
    return packet;
}

// A long-form section: table_id_extension, current, section 0 of 0.
Bytes section(uint8_t table_id, uint16_t extension, const Bytes& body, bool good_crc = true,
              unsigned version = 0) {
    const size_t length = 5 + body.size() + 4;
    Bytes bytes = {table_id,
                   byte(0xB0 | length >> 8),
                   byte(length),
                   byte(extension >> 8),
                   byte(extension),
                   byte(0xC1 | version << 1),
                   0,
                   0};
    bytes.reserve(3 + length);
    bytes.insert(bytes.end(), body.begin(), body.end());
    const uint32_t crc = mpeg_crc32(bytes) ^ (good_crc ? 0 : 1);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(byte(crc >> shift));
    return bytes;
}

Bytes pat_of(const std::vector<std::pair<uint16_t, uint16_t>>& programmes, bool good_crc = true,
             unsigned version = 0) {
    Bytes body;
    for (auto [number, pid] : programmes)
        body.insert(body.end(),
                    {byte(number >> 8), byte(number), byte(0xE0 | pid >> 8), byte(pid)});
    return section(0x00, 1, body, good_crc, version);
}

// PCR on the first stream, which carries a descriptor of `descriptor_bytes`.
Bytes pmt_of(uint16_t number, const std::vector<uint16_t>& streams, size_t descriptor_bytes = 0) {
    Bytes body = {byte(0xE0 | streams[0] >> 8), byte(streams[0]), 0xF0, 0x00};
    for (size_t i = 0; i < streams.size(); ++i) {
        const size_t info = i == 0 ? descriptor_bytes : 0;
        const uint16_t pid = streams[i];
        body.insert(body.end(),
                    {0x1B, byte(0xE0 | pid >> 8), byte(pid), byte(0xF0 | info >> 8), byte(info)});
        if (info == 0) continue;
        body.insert(body.end(), {0x80, byte(info - 2)});
        body.insert(body.end(), info - 2, 0x5A);
    }
    return section(0x02, number, body);
}

// Packets with their times, continuity counters counted per PID, and bare
// times for advance_to().
class Feed {
  public:
    void send(double time, const PacketFields& fields) {
        uint8_t& next = next_cc_[fields.pid];
        const auto cc = static_cast<uint8_t>(fields.cc >= 0 ? fields.cc : next);
        next = (fields.control & 1) ? (cc + 1) & 0x0F : cc;
        steps_.push_back({time, true, make_packet(fields, cc)});
    }
    // `sections` back to back from pointer_field 0, over as many packets as
    // they take, all at `time`.
    void send_sections(double time, uint16_t pid, const Bytes& sections, uint8_t scrambling = 0) {
        Bytes rest = {0x00};
        rest.insert(rest.end(), sections.begin(), sections.end());
        for (bool first = true; !rest.empty(); first = false) {
            const size_t take = std::min<size_t>(184, rest.size());
            send(time, {.pid = pid,
                        .start = first,
                        .scrambling = scrambling,
                        .payload = Bytes(rest.begin(), rest.begin() + take)});
            rest.erase(rest.begin(), rest.begin() + take);
        }
    }
    void wait_until(double time) { steps_.push_back({time, false, {}}); }

    TsHealthMonitor play(TsHealthSettings settings = {}) const {
        TsHealthMonitor monitor(settings);
        for (const Step& step : steps_)
            step.is_packet ? monitor.observe(step.packet, step.time)
                           : monitor.advance_to(step.time);
        return monitor;
    }
    TsHealthCounters run(TsHealthSettings settings = {}) const { return play(settings).counters(); }

  private:
    struct Step {
        double time;
        bool is_packet;
        Packet packet;
    };
    std::vector<Step> steps_;
    std::map<uint16_t, uint8_t> next_cc_;
};

// Packets 1 ms apart (well within 0.5 s: no table is missed), one a token:
// the continuity counter on PID 0x100 (or the PID's next without digits),
// then letters: n on the null PID, w on PID 0x101, b with a corrupted sync
// byte, a adaptation field only, p adaptation field and payload, d with the
// discontinuity_indicator, e with the transport_error_indicator.
Feed sequence(const std::string& tokens) {
    Feed feed;
    std::istringstream in(tokens);
    std::string token;
    for (double t = 0; in >> token; t += 0.001) {
        PacketFields fields;
        const size_t digits = token.find_first_not_of("0123456789");
        if (digits != 0) fields.cc = std::stoi(token.substr(0, digits));
        for (char letter : token.substr(std::min(digits, token.size()))) {
            if (letter == 'n') fields.pid = kNull;
            if (letter == 'w') fields.pid = kAudio;
            if (letter == 'b') fields.sync = 0x46;
            if (letter == 'a') fields.control = 2;
            if (letter == 'p' || (letter == 'd' && fields.control == 1)) fields.control = 3;
            if (letter == 'd') fields.discontinuity = true;
            if (letter == 'e') fields.damaged = true;
        }
        feed.send(t, fields);
    }
    return feed;
}
// Null packets, G with a correct sync byte, B with a corrupted one.
std::string nulls(const std::string& pattern) {
    std::string tokens;
    for (char c : pattern) tokens += c == 'B' ? "nb " : "n ";
    return tokens;
}

struct SequenceCase {
    const char* name;
    std::string tokens;
    TsHealthCounters expected;
};

class HealthSequences : public testing::TestWithParam<SequenceCase> {};

TEST_P(HealthSequences, CountsAsWorkedOut) {
    EXPECT_EQ(sequence(GetParam().tokens).run(), GetParam().expected);
}

template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// 1.1 and 1.2: sync lost at the second corrupted sync byte in a row,
// regained at the fifth correct one, nothing read while lost.
INSTANTIATE_TEST_SUITE_P(
    Sync, HealthSequences,
    testing::Values(
        SequenceCase{"one_corrupted", nulls("GGGGBGGGG"), {.sync_byte_errors = 1}},
        SequenceCase{
            "two_in_a_row", nulls("GGGBBGGGGGG"), {.sync_losses = 1, .sync_byte_errors = 2}},
        SequenceCase{
            "three_in_a_row", nulls("GGGBBBGGGGG"), {.sync_losses = 1, .sync_byte_errors = 3}},
        SequenceCase{"never_two_in_a_row", nulls("GBGBGBG"), {.sync_byte_errors = 3}},
        SequenceCase{
            "four_do_not_regain", nulls("GBBGGGGBBGG"), {.sync_losses = 1, .sync_byte_errors = 4}},
        SequenceCase{
            "five_regain", nulls("GBBGGGGGBBGG"), {.sync_losses = 2, .sync_byte_errors = 4}},
        SequenceCase{"unread_while_lost",
                     "0 1 2 3b 4b 9 3 7 1 5 6 7",
                     {.sync_losses = 1, .sync_byte_errors = 2}},
        SequenceCase{"fifth_is_read",
                     "0 1 2 3b 4b 9 3 7 1 5 7",
                     {.sync_losses = 1, .sync_byte_errors = 2, .cc_errors = 1}}),
    case_name<SequenceCase>);

// 1.4.
INSTANTIATE_TEST_SUITE_P(
    Continuity, HealthSequences,
    testing::Values(SequenceCase{"wraps", "13 14 15 0 1", {}},
                    SequenceCase{"skip", "0 1 2 4 5", {.cc_errors = 1}},
                    SequenceCase{"repeated_once", "0 1 1 2", {}},
                    SequenceCase{"seen_three_times", "0 1 1 1 2", {.cc_errors = 1}},
                    SequenceCase{"seen_four_times", "0 1 1 1 1 2", {.cc_errors = 2}},
                    SequenceCase{"jump", "0 1 2 9 10", {.cc_errors = 1}},
                    SequenceCase{"jump_with_indicator", "0 1 2 9d 10", {}},
                    SequenceCase{"indicator_without_payload", "0 1 1ad 9 10", {}},
                    SequenceCase{"adaptation_only", "0 1 1a 7a 2p 3", {}},
                    SequenceCase{"null_pid", "0n 5n 5n 5n 2n", {}},
                    SequenceCase{"first_packet_starts_count", "7 12w 8 13w", {}},
                    SequenceCase{
                        "damaged_dropped", "0 1 2e 3", {.cc_errors = 1, .transport_errors = 1}}),
    case_name<SequenceCase>);

// A programme on ticks of 10 ms: PAT and PMT every so many ticks, each
// elementary stream a packet a tick up to its last tick, the extras at their
// tick before the rest, then silence (advance_to) up to `silence_until` s.
struct Extra {
    int tick;
    uint16_t pid;
    Bytes sections;
    uint8_t scrambling = 0;
};

struct Schedule {
    int end = 100;
    Bytes pat = pat_of({{1, kPmtPid}});
    int pat_from = 0, pat_every = 10;  // every 0: none
    Bytes pmt = pmt_of(1, {kVideo, kAudio});
    int pmt_from = 0, pmt_every = 10;
    int video_until = INT_MAX, audio_until = INT_MAX;
    std::vector<Extra> extras = {};
    double silence_until = 0;
};

bool due(int tick, int from, int every) {
    return every > 0 && tick >= from && (tick - from) % every == 0;
}

Feed scheduled(const Schedule& plan) {
    Feed feed;
    for (int tick = 0; tick <= plan.end; ++tick) {
        const double t = 0.01 * tick;
        for (const Extra& extra : plan.extras)
            if (extra.tick == tick)
                feed.send_sections(t, extra.pid, extra.sections, extra.scrambling);
        if (due(tick, plan.pat_from, plan.pat_every)) feed.send_sections(t, 0, plan.pat);
        if (due(tick, plan.pmt_from, plan.pmt_every)) feed.send_sections(t, kPmtPid, plan.pmt);
        if (tick <= plan.video_until) feed.send(t, {.pid = kVideo});
        if (tick <= plan.audio_until) feed.send(t, {.pid = kAudio});
    }
    if (plan.silence_until > 0) feed.wait_until(plan.silence_until);
    return feed;
}

struct TableCase {
    const char* name;
    Schedule plan;
    TsHealthCounters expected;
    TsHealthSettings settings = {};
};

class HealthTables : public testing::TestWithParam<TableCase> {};

TEST_P(HealthTables, CountsAsWorkedOut) {
    EXPECT_EQ(scheduled(GetParam().plan).run(GetParam().settings), GetParam().expected);
}

const Bytes kEmptyPat = pat_of({});
Bytes two_sections(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// 1.3: PATs without programmes (no PMT expected), streams nobody lists.
INSTANTIATE_TEST_SUITE_P(
    Pat, HealthTables,
    testing::Values(
        TableCase{
            "every_0_4_s", {.end = 120, .pat = kEmptyPat, .pat_every = 40, .pmt_every = 0}, {}},
        TableCase{"gap_of_0_6_s",
                  {.end = 60, .pat = kEmptyPat, .pat_every = 60, .pmt_every = 0},
                  {.pat_errors = 1}},
        TableCase{"silence_of_0_4_s",
                  {.end = 0, .pat = kEmptyPat, .pmt_every = 0, .silence_until = 0.4},
                  {}},
        TableCase{"silence_of_0_6_s",
                  {.end = 0, .pat = kEmptyPat, .pmt_every = 0, .silence_until = 0.6},
                  {.pat_errors = 1}},
        TableCase{
            "missing_counts_once", {.end = 120, .pat_every = 0, .pmt_every = 0}, {.pat_errors = 1}},
        TableCase{"table_id_2",
                  {.pat = kEmptyPat, .pmt_every = 0, .extras = {{5, 0, pmt_of(1, {kVideo})}}},
                  {.pat_errors = 1}},
        TableCase{"second_section_of_a_packet",
                  {.pat = kEmptyPat,
                   .pmt_every = 0,
                   .extras = {{5, 0, two_sections(kEmptyPat, section(0x01, 0xFFFF, {}))}}},
                  {.pat_errors = 1}},
        TableCase{"scrambled",
                  {.pat = kEmptyPat, .pmt_every = 0, .extras = {{5, 0, kEmptyPat, 2}}},
                  {.pat_errors = 1}},
        // Present, but its programme (whose PMT never comes) is not taken.
        TableCase{"bad_crc",
                  {.pat = pat_of({{1, kPmtPid}}, false), .pat_every = 30, .pmt_every = 0},
                  {.crc_errors = 4}}),
    case_name<TableCase>);

// 1.5 and 1.6: programme 1 on PMT PID 0x1000, streams 0x100 and 0x101.
INSTANTIATE_TEST_SUITE_P(
    Programme, HealthTables,
    testing::Values(
        TableCase{"clean", {.end = 200}, {}},
        TableCase{"pmt_absent", {.pmt_every = 0}, {.pmt_errors = 1}},
        TableCase{"pmt_gap_of_0_6_s", {.pmt_every = 60}, {.pmt_errors = 1}},
        TableCase{"pmt_gap_of_0_4_s", {.pmt_every = 40}, {}},
        TableCase{"pmt_scrambled",
                  {.extras = {{5, kPmtPid, pmt_of(1, {kVideo, kAudio}), 1}}},
                  {.pmt_errors = 1}},
        TableCase{"network_pid_is_no_pmt", {.pat = pat_of({{0, 0x0010}}), .pmt_every = 0}, {}},
        TableCase{"dropped_by_a_new_pat",
                  {.end = 600,
                   .pat = pat_of({}, true, 1),
                   .pat_from = 10,
                   .pmt_every = 0,
                   .video_until = -1,
                   .audio_until = -1,
                   .extras = {{0, 0, pat_of({{1, kPmtPid}})}, {0, kPmtPid, pmt_of(1, {kVideo})}}},
                  {}},
        TableCase{"stream_stops_for_5_1_s", {.end = 560, .audio_until = 50}, {.pid_errors = 1}},
        TableCase{"stream_stops_for_4_9_s", {.end = 540, .audio_until = 50}, {}},
        TableCase{"shorter_period",
                  {.end = 160, .audio_until = 50},
                  {.pid_errors = 1},
                  {.pid_period_seconds = 1.0}},
        TableCase{"silence_of_0_4_s", {.end = 99, .silence_until = 1.3}, {}},
        TableCase{"silence_of_0_6_s",
                  {.end = 99, .silence_until = 1.5},
                  {.pat_errors = 1, .pmt_errors = 1}},
        TableCase{"silence_past_the_period",
                  {.end = 99, .silence_until = 6.1},
                  {.pat_errors = 1, .pmt_errors = 1, .pid_errors = 2}},
        // PMT from 3.0 s: the streams are expected from then on.
        TableCase{"streams_4_9_s_after_pmt",
                  {.end = 790, .pmt_from = 300, .video_until = -1, .audio_until = -1},
                  {.pmt_errors = 1}},
        TableCase{"streams_5_1_s_after_pmt",
                  {.end = 810, .pmt_from = 300, .video_until = -1, .audio_until = -1},
                  {.pmt_errors = 1, .pid_errors = 2}},
        // 0x101 is listed in the section's second packet.
        TableCase{"pmt_over_two_packets",
                  {.end = 560, .pmt = pmt_of(1, {kVideo, kAudio}, 200), .audio_until = -1},
                  {.pid_errors = 1}}),
    case_name<TableCase>);

// While sync is lost the timers stand still; they start again at the regain.
TEST(HealthSyncLoss, TablesTimedFromTheRegain) {
    Feed feed;
    feed.send_sections(0, 0, kEmptyPat);
    feed.send(0.1, {.pid = kNull, .sync = 0x46});
    feed.send(0.101, {.pid = kNull, .sync = 0x46});
    for (int i = 0; i < 5; ++i) feed.send(0.9 + 0.001 * i, {.pid = kNull});  // regained at 0.904 s
    feed.wait_until(1.3);
    EXPECT_EQ(feed.run(), (TsHealthCounters{.sync_losses = 1, .sync_byte_errors = 2}));
    feed.wait_until(1.41);
    EXPECT_EQ(feed.run(),
              (TsHealthCounters{.sync_losses = 1, .sync_byte_errors = 2, .pat_errors = 1}));
}

TEST(HealthTestStreams, CrcMatchesTheCheckValue) {
    const std::string check = "123456789";  // CRC-32/MPEG-2 of it: 0x0376E6E7
    EXPECT_EQ(mpeg_crc32(Bytes(check.begin(), check.end())), 0x0376E6E7u);
    EXPECT_GT(pmt_of(1, {kVideo, kAudio}, 200).size(), 183u);
}

// A clean multiplex at 5 Mbit/s: PAT and PMT every 0.1 s, two streams, a
// null packet in ten.
TEST(HealthCleanStream, NoErrorAndTheRateWithinATenthOfAPercent) {
    const double rate = 5e6, packet_time = 1504 / rate;
    Feed feed;
    double next_tables = 0;
    for (int slot = 0; slot * packet_time < 3.0; ++slot) {
        const double t = slot * packet_time;
        if (t >= next_tables) {
            feed.send_sections(t, 0, pat_of({{1, kPmtPid}}));
            feed.send_sections(t + packet_time, kPmtPid, pmt_of(1, {kVideo, kAudio}));
            next_tables += 0.1;
            ++slot;
        } else {
            feed.send(t, {.pid = slot % 10 == 9 ? kNull : slot % 2 ? kVideo : kAudio});
        }
    }
    const TsHealthMonitor monitor = feed.play();
    EXPECT_EQ(monitor.counters(), TsHealthCounters{});
    EXPECT_NEAR(monitor.measured_rate(), rate, rate * 1e-3);
}

struct RateCase {
    double earlier_rate;  // for the first 3 s
    double rate;          // for the next 3 s
    int per_arrival;      // packets arriving together
};

class HealthRate : public testing::TestWithParam<RateCase> {};

TEST_P(HealthRate, MeasuredOverTheWindow) {
    const auto [earlier_rate, rate, per_arrival] = GetParam();
    TsHealthMonitor monitor;  // window 2 s
    const Packet null = make_packet({.pid = kNull}, 0);
    double t = 0;
    for (double r : {earlier_rate, rate})
        for (const double end = t + 3.0; t < end; t += per_arrival * 1504 / r)
            for (int i = 0; i < per_arrival; ++i) monitor.observe(null, t);
    EXPECT_NEAR(monitor.measured_rate(), rate, rate * 1e-6);  // whole arrivals: exact
    monitor.advance_to(t + 2.1);                              // a silence longer than the window
    EXPECT_EQ(monitor.measured_rate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, HealthRate,
                         testing::Values(RateCase{5e6, 5e6, 1}, RateCase{2e6, 6e6, 1},
                                         RateCase{20e6, 20e6, 7}, RateCase{30e6, 8e6, 7},
                                         RateCase{0.3e6, 0.3e6, 1}));

TEST(HealthSummary, OneLineThatChangesWithTheCounters) {
    TsHealthMonitor monitor;
    const Packet null = make_packet({.pid = kNull}, 0);
    Packet corrupted = null;
    corrupted[0] = 0x46;
    const double packet_time = 1504 / 4e6;
    for (int i = 0; i < 1000; ++i) monitor.observe(null, i * packet_time);
    const TsHealthCounters before = monitor.counters();  // no PAT for 0.376 s: none missed yet
    EXPECT_FALSE(monitor.changed_since(before));
    monitor.observe(corrupted, 1000 * packet_time);
    EXPECT_TRUE(monitor.changed_since(before));
    for (int i = 1001; i < 4000; ++i) monitor.observe(null, i * packet_time);
    EXPECT_EQ(monitor.summary(),
              "TR 101 290 priority 1: sync losses 0, sync byte errors 1, PAT errors 1, CC errors "
              "0, PMT errors 0, PID errors 0; 4.000 Mbit/s");
}

TEST(HealthSettings, RefusesPeriodsThatAreNoTime) {
    EXPECT_THROW(TsHealthMonitor({.pid_period_seconds = 0}), std::invalid_argument);
    EXPECT_THROW(TsHealthMonitor({.rate_window_seconds = -1}), std::invalid_argument);
    EXPECT_THROW(TsHealthMonitor({.pid_period_seconds = std::nan("")}), std::invalid_argument);
}

}  // namespace
}  // namespace terramod
