// Rate adaptation checked against the stream's own construction: packet
// times and PCR values are known exactly from the plan, the output grid from
// the channel rate alone.
#include "io/ts_rate_adapter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "tests/io/ts_test_support.h"

namespace terramod::test {
namespace {

constexpr double kTicksPer500ns = 13.5;

int64_t centred(int64_t ticks) {
    ticks %= kPcrModulus;
    if (ticks < 0) ticks += kPcrModulus;
    return ticks > kPcrModulus / 2 ? ticks - kPcrModulus : ticks;
}

bool is_null(const uint8_t* packet) {
    return pid_of(packet) == 0x1FFF;
}

// The non-null packets in order, PCR fields blanked.
std::vector<std::string> non_null_packets(const Bytes& stream) {
    std::vector<std::string> packets;
    for (size_t at = 0; at + kPacket <= stream.size(); at += kPacket) {
        const uint8_t* packet = stream.data() + at;
        if (is_null(packet)) continue;
        std::string text(packet, packet + kPacket);
        if (has_pcr(packet)) std::fill(text.begin() + 6, text.begin() + 12, '\0');
        packets.push_back(text);
    }
    return packets;
}

struct PcrFindings {
    double largest_error = 0;     // ticks from the channel's grid
    double longest_interval = 0;  // s between PCRs of one PID, at the channel rate
    size_t count = 0;
};

// Each PCR against the first PCR of its PID (or of its timeline, after a
// discontinuity indicator) advanced by the packets between at `rate`.
PcrFindings check_pcrs(const Bytes& stream, double rate) {
    PcrFindings findings;
    const double ticks_per_packet = 1504 * 27e6 / rate;
    std::map<uint16_t, std::pair<size_t, int64_t>> anchors, last;
    for (size_t j = 0; j * kPacket < stream.size(); ++j) {
        const uint8_t* packet = stream.data() + j * kPacket;
        if (!has_pcr(packet)) continue;
        ++findings.count;
        const uint16_t pid = pid_of(packet);
        const int64_t pcr = get_pcr(packet);
        if (last.count(pid))
            findings.longest_interval = std::max(
                findings.longest_interval, static_cast<double>(j - last[pid].first) * 1504 / rate);
        last[pid] = {j, pcr};
        if (!anchors.count(pid) || (packet[5] & 0x80)) {
            anchors[pid] = {j, pcr};
            continue;
        }
        const double expected = static_cast<double>(anchors[pid].second) +
                                static_cast<double>(j - anchors[pid].first) * ticks_per_packet;
        const int64_t whole = static_cast<int64_t>(std::floor(expected));
        const double error =
            static_cast<double>(centred(pcr - whole)) - (expected - static_cast<double>(whole));
        findings.largest_error = std::max(findings.largest_error, std::fabs(error));
    }
    return findings;
}

// PCR out minus PCR in for every PCR packet, matched in order.
std::pair<int64_t, int64_t> correction_range(const Bytes& in, const Bytes& out) {
    std::vector<int64_t> in_pcrs, out_pcrs;
    for (size_t at = 0; at < in.size(); at += kPacket)
        if (has_pcr(&in[at])) in_pcrs.push_back(get_pcr(&in[at]));
    for (size_t at = 0; at < out.size(); at += kPacket)
        if (has_pcr(&out[at])) out_pcrs.push_back(get_pcr(&out[at]));
    EXPECT_EQ(in_pcrs.size(), out_pcrs.size());
    int64_t low = INT64_MAX, high = INT64_MIN;
    for (size_t i = 0; i < std::min(in_pcrs.size(), out_pcrs.size()); ++i) {
        const int64_t correction = centred(out_pcrs[i] - in_pcrs[i]);
        low = std::min(low, correction);
        high = std::max(high, correction);
    }
    return {low, high};
}

// Indices of the PCR packets of PID 256 in `stream`.
std::vector<size_t> video_pcr_packets(const Bytes& stream) {
    std::vector<size_t> found;
    for (size_t i = 0; i * kPacket < stream.size(); ++i)
        if (pid_of(&stream[i * kPacket]) == kVideoPid && has_pcr(&stream[i * kPacket]))
            found.push_back(i);
    return found;
}

struct AdaptedRun {
    Bytes output;
    std::string log;
    bool fatal;
    RateAdapterStatistics statistics;
};

AdaptedRun adapt(const Bytes& input, double channel, size_t block_packets = 63,
                 double start_delay = 0) {
    MemoryTsSource source(input);
    Log log(4, nullptr);
    AdaptedRun run;
    log.capture_to(&run.log);
    RateAdaptingSource adapter(source, channel, kSpacing8MHz, log, start_delay);
    run.output = read_all(adapter, block_packets);
    run.fatal = adapter.fatal();
    run.statistics = adapter.statistics();
    return run;
}

struct RateCase {
    const char* name;
    StreamPlan plan;
    double channel;
};

class AdaptedStreamTest : public ::testing::TestWithParam<RateCase> {};

StreamPlan plan_at(double rate, double seconds = 2.0) {
    StreamPlan plan;
    plan.rate = rate;
    plan.seconds = seconds;
    return plan;
}

StreamPlan drifting(double rate) {
    StreamPlan plan = plan_at(rate);
    plan.drift = 50e-6;
    return plan;
}

StreamPlan with_jump(double rate) {
    StreamPlan plan = plan_at(rate);
    plan.jump_at = 0.73;
    plan.jump_to = 900000000;
    return plan;
}

StreamPlan wrapping(double rate) {
    StreamPlan plan = plan_at(rate);
    plan.first_pcr = kPcrModulus - 27000000 / 2;  // wraps half a second in
    return plan;
}

StreamPlan two_programmes(double rate) {
    StreamPlan plan = plan_at(rate);
    plan.second_pcr_pid = 0x110;
    plan.second_offset = 5555555555;
    return plan;
}

TEST_P(AdaptedStreamTest, KeepsPacketsRestampsPcrsAndFillsTheChannel) {
    const RateCase& c = GetParam();
    const Bytes input = make_stream(c.plan);
    const AdaptedRun run = adapt(input, c.channel);
    ASSERT_FALSE(run.fatal) << run.log;
    ASSERT_EQ(run.output.size() % kPacket, 0u);

    // The input lasts its packet count at its rate on its own clock (which
    // the drifting plan runs faster); the channel carries that many slots.
    const double input_packets = static_cast<double>(input.size() / kPacket);
    const double duration = input_packets * 1504 / c.plan.rate;
    const double clock_duration = duration * (1 + c.plan.drift / 2);
    const double expected_packets = clock_duration * c.channel / 1504;
    const double packets = static_cast<double>(run.output.size() / kPacket);
    EXPECT_NEAR(packets, expected_packets, 1.0);

    EXPECT_EQ(non_null_packets(run.output), non_null_packets(input));

    const PcrFindings in = check_pcrs(input, c.plan.rate);
    const PcrFindings out = check_pcrs(run.output, c.channel);
    EXPECT_EQ(out.count, in.count);
    EXPECT_LE(out.largest_error, kTicksPer500ns);
    EXPECT_LE(out.longest_interval, 0.040);
    std::printf(
        "[ %s ] %zu packets in, %.0f out (expected %.1f), largest PCR error %.2f ns, "
        "longest PCR interval %.2f ms\n",
        c.name, input.size() / kPacket, packets, expected_packets, out.largest_error / 27e6 * 1e9,
        out.longest_interval * 1e3);

    // Packets leave at or after their own time, never much later.
    const auto [low, high] = correction_range(input, run.output);
    EXPECT_GE(low, -1);
    EXPECT_LE(high, 27000);  // 1 ms
    EXPECT_NEAR(run.statistics.largest_pcr_correction * 27e6, static_cast<double>(high), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, AdaptedStreamTest,
    ::testing::Values(RateCase{"2M_to_6M", plan_at(2e6), kDefaultChannel},
                      RateCase{"4M_to_6M", plan_at(4e6), kDefaultChannel},
                      RateCase{"6M_to_6M", plan_at(6e6), kDefaultChannel},
                      RateCase{"2M_to_24M", plan_at(2e6), kFastChannel},
                      RateCase{"4M_to_24M", plan_at(4e6), kFastChannel},
                      RateCase{"6M_to_24M", plan_at(6e6), kFastChannel},
                      RateCase{"8M_mostly_null_to_6M",
                               [] {
                                   StreamPlan plan = plan_at(8e6);
                                   plan.null_share = 0.5;
                                   return plan;
                               }(),
                               kDefaultChannel},
                      RateCase{"drift_50ppm_to_6M", drifting(4e6), kDefaultChannel},
                      // 7 MHz QPSK 1/2 1/32: 7693.7 ticks a packet, PCRs round.
                      RateCase{"4M_to_5M28_7MHz", plan_at(4e6), 5278074.866310161},
                      RateCase{"drift_50ppm_to_24M", drifting(6e6), kFastChannel},
                      RateCase{"pcr_wrap", wrapping(4e6), kDefaultChannel},
                      RateCase{"two_programmes", two_programmes(4e6), kDefaultChannel},
                      RateCase{"no_tables",
                               [] {
                                   StreamPlan plan = plan_at(3e6);
                                   plan.tables = false;
                                   return plan;
                               }(),
                               kDefaultChannel}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RateAdapterTest, ADiscontinuityStartsANewTimelineThatTheOutputFollows) {
    const StreamPlan plan = with_jump(4e6);
    const Bytes input = make_stream(plan);
    const AdaptedRun run = adapt(input, kDefaultChannel);
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(non_null_packets(run.output), non_null_packets(input));
    EXPECT_LE(check_pcrs(run.output, kDefaultChannel).largest_error, kTicksPer500ns);
    const auto [low, high] = correction_range(input, run.output);
    EXPECT_GE(low, -1);
    EXPECT_LE(high, 27000);
    EXPECT_EQ(run.log.find("WARNING"), std::string::npos) << run.log;
}

TEST(RateAdapterTest, APcrJumpWithoutIndicatorIsTakenAsADiscontinuityWithOneWarning) {
    StreamPlan plan = with_jump(4e6);
    Bytes input = make_stream(plan);
    for (size_t at = 0; at < input.size(); at += kPacket) input[at + 5] &= 0x7F;
    const AdaptedRun run = adapt(input, kDefaultChannel);
    ASSERT_FALSE(run.fatal);
    EXPECT_EQ(non_null_packets(run.output), non_null_packets(input));
    const auto [low, high] = correction_range(input, run.output);
    EXPECT_GE(low, -1);
    EXPECT_LE(high, 27000);
    EXPECT_NE(run.log.find("WARNING: PCR on PID 256 jumps by"), std::string::npos) << run.log;
}

// As the driver reads: has_more_input() before each block, the real bytes
// of each block counted (the driver pads a short one).
Bytes read_as_the_driver_does(TsSource& source, size_t block_packets) {
    Bytes out;
    Bytes block(block_packets * kPacket);
    for (int reads = 0; reads < 100000 && source.has_more_input(); ++reads) {
        const size_t got = source.read_packets(block);
        out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(got));
        if (source.fatal()) break;
    }
    return out;
}

// The output lasts as long as the input: the nulls owed after the last input
// packet (its own null packets at the end, dropped, included) go out too.
TEST(RateAdapterTest, TheDriversReadsGetTheInputsWholeDuration) {
    struct Case {
        double rate;
        double null_tail;  // s of null packets ending the input
        size_t block_packets;
    };
    for (const Case& c :
         {Case{2e6, 0.0, 63}, Case{2e6, 0.25, 63}, Case{4e6, 0.25, 1000}, Case{6e6, 0.5, 7}}) {
        Bytes input = make_stream(plan_at(c.rate, 2.0));
        const size_t count = input.size() / kPacket;
        const auto tail = static_cast<size_t>(c.null_tail * c.rate / 1504);
        for (size_t i = count - tail; i < count; ++i) {
            uint8_t* packet = &input[i * kPacket];
            packet[1] = 0x1F;
            packet[2] = 0xFF;
            packet[3] = 0x10;
            std::fill(packet + 4, packet + kPacket, 0xFF);
        }
        MemoryTsSource source(input);
        Log log(4, nullptr);
        RateAdaptingSource adapter(source, kDefaultChannel, kSpacing8MHz, log);
        const Bytes output = read_as_the_driver_does(adapter, c.block_packets);
        ASSERT_FALSE(adapter.fatal());
        const double expected = static_cast<double>(count) * 1504 / c.rate * kDefaultChannel / 1504;
        EXPECT_NEAR(static_cast<double>(output.size() / kPacket), expected, 1.0)
            << c.rate << " " << c.null_tail << " " << c.block_packets;
        EXPECT_EQ(output.size() % kPacket, 0u);
    }
}

// Every PID of a stream of make_stream() moved (PAT and PMT fields with
// them, their version numbers kept), as a second multiplexer would give.
Bytes with_pids_moved(Bytes stream, uint16_t offset, bool move_pmt) {
    const uint16_t pmt = move_pmt ? kPmtPid + offset : kPmtPid;
    for (size_t at = 0; at < stream.size(); at += kPacket) {
        uint8_t* packet = &stream[at];
        const uint16_t pid = pid_of(packet);
        uint16_t moved = pid;
        if (pid == 0) {
            packet[15] = static_cast<uint8_t>(0xE0 | (pmt >> 8));
            packet[16] = static_cast<uint8_t>(pmt);
        } else if (pid == kPmtPid) {
            moved = pmt;
            packet[13] = static_cast<uint8_t>(0xE0 | ((kVideoPid + offset) >> 8));
            packet[14] = static_cast<uint8_t>(kVideoPid + offset);
        } else if (pid == kVideoPid || pid == kAudioPid) {
            moved = static_cast<uint16_t>(pid + offset);
        }
        packet[1] = static_cast<uint8_t>((packet[1] & 0xE0) | (moved >> 8));
        packet[2] = static_cast<uint8_t>(moved);
    }
    return stream;
}

// The PMT of a stream of make_stream() names `pid` as PCR PID.
Bytes with_declared_pcr_pid(Bytes stream, uint16_t pid) {
    for (size_t at = 0; at < stream.size(); at += kPacket)
        if (pid_of(&stream[at]) == kPmtPid) {
            stream[at + 13] = static_cast<uint8_t>(0xE0 | (pid >> 8));
            stream[at + 14] = static_cast<uint8_t>(pid);
        }
    return stream;
}

// Two streams end to end, the second with its PCR on another PID at another
// rate (a multiplexer's restart, a playlist): the timing follows the tables
// to the new PID, and each part lasts its own duration in the output.
TEST(RateAdapterTest, FollowsThePcrPidTheTablesName) {
    struct Case {
        const char* name;
        bool move_pmt;  // the PAT names another PMT PID, or only the PMT changes
        double second_rate;
    };
    for (const Case& c : {Case{"pat_and_pmt", true, 5e6}, Case{"pmt_only", false, 2.5e6},
                          Case{"same_rate", true, 3e6}}) {
        StreamPlan first = plan_at(3e6, 1.5);
        StreamPlan second = plan_at(c.second_rate, 1.5);
        second.first_pcr = 8100000000;  // 300 s: a clock of its own
        Bytes input = make_stream(first);
        const Bytes tail = with_pids_moved(make_stream(second), 0x100, c.move_pmt);
        input.insert(input.end(), tail.begin(), tail.end());
        const AdaptedRun run = adapt(input, kDefaultChannel);
        ASSERT_FALSE(run.fatal) << c.name << run.log;
        EXPECT_EQ(non_null_packets(run.output), non_null_packets(input)) << c.name;
        const PcrFindings out = check_pcrs(run.output, kDefaultChannel);
        EXPECT_LE(out.largest_error, kTicksPer500ns) << c.name;
        const double seconds =
            static_cast<double>(input.size() - tail.size()) / kPacket * 1504 / first.rate +
            static_cast<double>(tail.size()) / kPacket * 1504 / second.rate;
        EXPECT_NEAR(static_cast<double>(run.output.size() / kPacket),
                    seconds * kDefaultChannel / 1504, 3.0)
            << c.name;
        EXPECT_NE(run.log.find("WARNING: the PCR moved from PID 256 to PID 512 -> new timeline"),
                  std::string::npos)
            << c.name << run.log;
    }
}

// The PMT names a PID without PCRs while another carries them: that one
// times the stream, with a warning, whether the PMT comes before the first
// PCR (the PCRs read meanwhile kept and replayed) or after it.
TEST(RateAdapterTest, TimesOnThePidThatCarriesPcrsWhenTheDeclaredOneCarriesNone) {
    struct Case {
        double rate;
        bool tables_first;
        const char* warning;
    };
    const char* const chosen =
        "WARNING: the PMT names PID 257 as PCR PID but it carries no PCR -> timing on PID 256, "
        "which does\n";
    const char* const kept =
        "WARNING: the PMT names PID 257 as PCR PID but it carries no PCR -> timing stays on PID "
        "256, which does\n";
    for (const Case& c : {Case{2e6, true, chosen}, Case{5e6, true, chosen}, Case{2e6, false, kept},
                          Case{5e6, false, kept}}) {
        Bytes input = with_declared_pcr_pid(make_stream(plan_at(c.rate, 1.0)), kAudioPid);
        if (c.tables_first) {
            // A copy of the first PAT and PMT ahead of the stream.
            size_t pmt = 0;
            while (pid_of(&input[pmt * kPacket]) != kPmtPid) ++pmt;
            Bytes tables(input.begin(), input.begin() + kPacket);
            tables.insert(tables.end(), input.begin() + static_cast<long>(pmt * kPacket),
                          input.begin() + static_cast<long>((pmt + 1) * kPacket));
            input.insert(input.begin(), tables.begin(), tables.end());
        }
        const AdaptedRun run = adapt(input, kDefaultChannel);
        ASSERT_FALSE(run.fatal) << run.log;
        EXPECT_EQ(non_null_packets(run.output), non_null_packets(input));
        EXPECT_LE(check_pcrs(run.output, kDefaultChannel).largest_error, kTicksPer500ns);
        const double packets = static_cast<double>(input.size() / kPacket);
        EXPECT_NEAR(static_cast<double>(run.output.size() / kPacket),
                    packets * kDefaultChannel / c.rate, 1.0);
        const auto [low, high] = correction_range(input, run.output);
        EXPECT_GE(low, -1);
        EXPECT_LE(high, 27000);
        EXPECT_EQ(run.log, c.warning);
    }
}

// The output depends on the stream alone, not on how it is read.
TEST(RateAdapterTest, AnySplitOfReadsGivesTheSameBytes) {
    const Bytes input = make_stream(drifting(3e6));
    const Bytes reference = adapt(input, kDefaultChannel, 1).output;
    for (const size_t block : {2, 7, 63, 64, 65, 1000, 100000})
        EXPECT_EQ(adapt(input, kDefaultChannel, block).output, reference) << block;
}

TEST(RateAdapterTest, FreeSlotsCarryNullPacketsWithTheirOwnContinuityCounter) {
    const Bytes input = make_stream(plan_at(2e6, 0.5));
    const AdaptedRun run = adapt(input, kDefaultChannel);
    int expected = 0;
    uint64_t nulls = 0;
    for (size_t at = 0; at < run.output.size(); at += kPacket) {
        const uint8_t* packet = &run.output[at];
        if (!is_null(packet)) continue;
        ++nulls;
        ASSERT_EQ(packet[3], 0x10 | expected) << at / kPacket;
        expected = (expected + 1) & 0x0F;
        ASSERT_TRUE(std::all_of(packet + 4, packet + kPacket, [](uint8_t b) { return b == 0xFF; }));
    }
    EXPECT_EQ(nulls, run.statistics.null_packets_inserted);
    EXPECT_EQ(run.statistics.output_packets, run.output.size() / kPacket);
    EXPECT_EQ(run.statistics.input_bytes, input.size());
    uint64_t input_nulls = 0;
    for (size_t at = 0; at < input.size(); at += kPacket) input_nulls += is_null(&input[at]);
    EXPECT_EQ(run.statistics.null_packets_dropped, input_nulls);
}

TEST(RateAdapterTest, AStartDelayShiftsSlotsButNotTheClock) {
    const Bytes input = make_stream(plan_at(4e6, 1.0));
    const AdaptedRun plain = adapt(input, kDefaultChannel);
    const AdaptedRun delayed = adapt(input, kDefaultChannel, 63, 0.010);
    const size_t delay_slots = static_cast<size_t>(std::ceil(0.010 * kDefaultChannel / 1504));
    EXPECT_NEAR(static_cast<double>(delayed.output.size() / kPacket),
                static_cast<double>(plain.output.size() / kPacket + delay_slots), 1.0);
    EXPECT_EQ(non_null_packets(delayed.output), non_null_packets(input));
    EXPECT_LE(check_pcrs(delayed.output, kDefaultChannel).largest_error, kTicksPer500ns);
    const auto [low, high] = correction_range(input, delayed.output);
    EXPECT_GE(low, -1);
    EXPECT_LE(high, 27000);
}

TEST(RateAdapterTest, ALastPacketCutByTheEndOfInputStaysLast) {
    Bytes input = make_stream(plan_at(4e6, 0.3));
    input.resize(input.size() - 100);
    const AdaptedRun run = adapt(input, kDefaultChannel);
    ASSERT_FALSE(run.fatal);
    ASSERT_EQ(run.output.size() % kPacket, 88u);
    EXPECT_TRUE(std::equal(input.end() - 88, input.end(), run.output.end() - 88));
}

// An empty input carries no PCR: the same stop as any stream without.
TEST(RateAdapterTest, AnEmptyInputStopsAsAStreamWithoutPcr) {
    const AdaptedRun run = adapt({}, kDefaultChannel);
    EXPECT_TRUE(run.fatal);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.log, "FATAL ERROR: the stream carries no PCR: --adapt-rate cannot time it\n");
}

// The report's figures counted in the streams themselves: the input's null
// packets (all dropped), the output's (all added), the largest PCR change
// between matching PCR packets.
TEST(RateAdapterTest, WritesTheReport) {
    const Bytes input = make_stream(two_programmes(4e6));
    MemoryTsSource source(input);
    Log log(2, nullptr);
    std::string text;
    log.capture_to(&text);
    RateAdaptingSource adapter(source, kDefaultChannel, kSpacing8MHz, log);
    const Bytes output = read_all(adapter, 63);
    text.clear();
    adapter.write_report(log);

    auto nulls_in = [](const Bytes& stream) {
        size_t count = 0;
        for (size_t at = 0; at < stream.size(); at += kPacket) count += is_null(&stream[at]);
        return count;
    };
    const auto [low, high] = correction_range(input, output);
    const double largest_micros =
        static_cast<double>(std::max(std::abs(low), std::abs(high))) / 27.0;
    const size_t queue_high_water = adapter.statistics().queue_high_water;
    // A PCR interval of 20 ms at 4 Mbit/s is 53 packets, read in chunks of 64.
    EXPECT_LE(queue_high_water, 53u + 64u);
    char expected[1024];
    std::snprintf(expected, sizeof expected,
                  "Rate adaptation:\n"
                  "\tPCR PID(s)          : 256 (0x0100), 272 (0x0110)\n"
                  "\tInput rate (PCR)    : 4.000000 Mbps\n"
                  "\tChannel rate        : 6.032086 Mbps\n"
                  "\tNull packets dropped: %zu\n"
                  "\tNull packets added  : %zu\n"
                  "\tLargest PCR change  : %%f micros\n"
                  "\tQueue high water    : %zu packets\n"
                  "----------------------------------------------------------\n",
                  nulls_in(input), nulls_in(output), queue_high_water);
    // The change is printed from the exact correction, the PCRs carry it
    // rounded to a tick (37 ns): the figure is compared within that.
    const size_t change_at = text.find("Largest PCR change  : ");
    ASSERT_NE(change_at, std::string::npos) << text;
    const double printed = std::strtod(text.c_str() + change_at + 22, nullptr);
    EXPECT_NEAR(printed, largest_micros, 0.02) << text;
    EXPECT_GT(largest_micros, 0.0);
    std::string shown = text;
    const size_t number_end = shown.find(" micros", change_at);
    shown.replace(change_at + 22, number_end - change_at - 22, "%f");
    EXPECT_EQ(shown, expected);
    EXPECT_GT(nulls_in(input), 0u);
    EXPECT_GT(nulls_in(output), 0u);
}

// A discontinuity indicator starts a new timeline where the old one had got
// to, whatever the new PCR value: each PCR packet leaves in slot k carrying
// its input value advanced by the time it was moved, k slots of the channel
// less its own input position i at the stream's rate (the input's packet 0
// leaves in slot 0). Without the indicator being read, a small forward jump
// moves every later packet; a backward jump or a repeated value is warned of.
TEST(RateAdapterTest, ADiscontinuityOfAnySizeKeepsTheOutputOnTheOldTimeline) {
    struct Case {
        const char* name;
        double shift;  // s added to the PCRs from the indicator on; NAN: the value before
    };
    for (const Case& c :
         {Case{"forward_0.3s", 0.3}, Case{"forward_5s", 5.0}, Case{"back_0.5s", -0.5},
          Case{"back_30s", -30.0}, Case{"equal_value", NAN}}) {
        const double rate = 4e6;
        StreamPlan plan = plan_at(rate, 2.0);
        plan.first_pcr = 2700000000;  // 100 s: room to go back
        Bytes input = make_stream(plan);
        const std::vector<size_t> pcrs = video_pcr_packets(input);
        const size_t at = pcrs.size() / 3;
        const int64_t shift = std::isnan(c.shift) ? get_pcr(&input[pcrs[at - 1] * kPacket]) -
                                                        get_pcr(&input[pcrs[at] * kPacket])
                                                  : std::llround(c.shift * 27e6);
        input[pcrs[at] * kPacket + 5] |= 0x80;
        for (size_t k = at; k < pcrs.size(); ++k) {
            uint8_t* packet = &input[pcrs[k] * kPacket];
            put_pcr(packet, get_pcr(packet) + shift);
        }
        const AdaptedRun run = adapt(input, kDefaultChannel);
        ASSERT_FALSE(run.fatal) << c.name << run.log;
        EXPECT_EQ(run.log, "") << c.name;
        std::vector<std::pair<size_t, int64_t>> out;  // slot, PCR of each PCR packet
        for (size_t k = 0; k * kPacket < run.output.size(); ++k)
            if (has_pcr(&run.output[k * kPacket]) && pid_of(&run.output[k * kPacket]) == kVideoPid)
                out.emplace_back(k, get_pcr(&run.output[k * kPacket]));
        ASSERT_EQ(out.size(), pcrs.size()) << c.name;
        double largest = 0;
        for (size_t k = 0; k < pcrs.size(); ++k) {
            const double moved = static_cast<double>(out[k].first) * 1504 / kDefaultChannel -
                                 static_cast<double>(pcrs[k]) * 1504 / rate;
            const int64_t in = get_pcr(&input[pcrs[k] * kPacket]);
            const double error = static_cast<double>(centred(out[k].second - in)) - moved * 27e6;
            largest = std::max(largest, std::fabs(error));
        }
        EXPECT_LE(largest, kTicksPer500ns) << c.name;
    }
}

// Payload faster than the channel: stop, naming both rates and settings that
// would carry it, and return nothing more.
TEST(RateAdapterTest, APayloadFasterThanTheChannelStopsWithTheRatesAndFittingSettings) {
    StreamPlan plan = plan_at(12e6, 3.0);
    plan.null_share = 0;
    const Bytes input = make_stream(plan);
    MemoryTsSource source(input);
    Log log(4, nullptr);
    std::string text;
    log.capture_to(&text);
    RateAdaptingSource adapter(source, kDefaultChannel, kSpacing8MHz, log);
    Bytes block(63 * kPacket);
    size_t delivered = 0, reads = 0;
    for (; reads < 10000 && !adapter.fatal(); ++reads) {
        const size_t got = adapter.read_packets(block);
        if (adapter.fatal()) {
            EXPECT_EQ(got, 0u);
            break;
        }
        ASSERT_EQ(got, block.size());
        delivered += got / kPacket;
    }
    ASSERT_TRUE(adapter.fatal());
    EXPECT_EQ(adapter.read_packets(block), 0u);
    // The channel sends half the stream's rate: packets are half a second
    // late after a second of output.
    EXPECT_NEAR(static_cast<double>(delivered) * 1504 / kDefaultChannel, 1.0, 0.05);
    EXPECT_LT(source.bytes_read(), input.size());
    EXPECT_EQ(
        text.rfind("FATAL ERROR: the stream needs 12.000000 Mbit/s without its null packets ", 0),
        0u)
        << text;
    EXPECT_NE(text.find("(its PCRs give 12.000000 Mbit/s), more than the channel's 6.032086 "
                        "Mbit/s"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Settings at 8 MHz that carry it: -M 16 -p 1/2 -D 1/32 (12.064171 "
                        "Mbit/s), -M 16 -p 2/3 -D 1/4 (13.270588 Mbit/s), -M 16 -p 2/3 -D 1/8 "
                        "(14.745098 Mbit/s)."),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Nothing after output packet #" + std::to_string(delivered) + " was sent"),
              std::string::npos)
        << text;
}

TEST(RateAdapterTest, AStreamWithoutPcrStops) {
    struct Case {
        double seconds;
        const char* message;
    };
    for (const Case& c : {Case{0.5,
                               "FATAL ERROR: the stream carries no PCR: --adapt-rate "
                               "cannot time it\n"},
                          Case{20.0,
                               "FATAL ERROR: the stream carries no PCR in its first 40000 "
                               "packets: --adapt-rate cannot time it\n"}}) {
        StreamPlan plan = plan_at(4e6, c.seconds);
        plan.pcr = false;
        const Bytes input = make_stream(plan);
        MemoryTsSource source(input);
        Log log(4, nullptr);
        std::string text;
        log.capture_to(&text);
        RateAdaptingSource adapter(source, kDefaultChannel, kSpacing8MHz, log);
        EXPECT_EQ(read_all(adapter, 63).size(), 0u);
        EXPECT_TRUE(adapter.fatal());
        EXPECT_EQ(text, c.message);
        // Memory stays bounded: reading stops at the limit.
        EXPECT_LE(source.bytes_read(), (40000 + 64) * kPacket);
    }
}

TEST(RateAdapterTest, AStreamWithOnePcrStops) {
    StreamPlan plan = plan_at(4e6, 0.3);
    plan.pcr_interval = 10;
    const Bytes input = make_stream(plan);
    const AdaptedRun run = adapt(input, kDefaultChannel);
    EXPECT_TRUE(run.fatal);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.log,
              "FATAL ERROR: the stream carries only one PCR: --adapt-rate cannot measure its "
              "rate\n");
}

std::string jump_text(double seconds) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "WARNING: PCR on PID 256 jumps by %+.3f s without the discontinuity indicator "
                  "-> new timeline\n",
                  seconds);
    return text;
}

// What is wrong with the PCRs, said as it is: how many there are and that
// they jump or stand still; a backward jump with its sign.
TEST(RateAdapterTest, NamesWhatIsWrongWithThePcrs) {
    struct Case {
        const char* name;
        double seconds;
        double pcr_interval;
        int64_t step;  // ticks added to each PCR after the first; -1: unchanged
        bool fatal;
    };
    for (const Case& c : {Case{"standing_still", 1.0, 0.02, 0, true},
                          Case{"two_jumping", 1.0, 0.6, 5 * 27000000, true},
                          Case{"each_jumping", 1.0, 0.02, 2 * 27000000, true},
                          Case{"one_back", 2.0, 0.02, -1, false}}) {
        StreamPlan plan = plan_at(4e6, c.seconds);
        plan.pcr_interval = c.pcr_interval;
        plan.first_pcr = 270000000;
        if (c.step < 0) {
            plan.jump_at = 0.73;  // back by 2 s, the indicator cleared below
            plan.jump_to = plan.first_pcr + 27000000 * 73 / 100 - 54000000;
        }
        Bytes input = make_stream(plan);
        const std::vector<size_t> pcrs = video_pcr_packets(input);
        for (size_t k = 0; k < pcrs.size(); ++k) {
            uint8_t* packet = &input[pcrs[k] * kPacket];
            packet[5] &= 0x7F;
            if (c.step >= 0) put_pcr(packet, plan.first_pcr + static_cast<int64_t>(k) * c.step);
        }
        const AdaptedRun run = adapt(input, kDefaultChannel);
        EXPECT_EQ(run.fatal, c.fatal) << c.name << run.log;
        std::string expected;
        if (c.step == 0)
            expected =
                "WARNING: PCR on PID 256 does not advance, without the discontinuity indicator "
                "-> new timeline\n";
        else if (c.step > 0)
            expected = jump_text(static_cast<double>(c.step) / 27e6);
        else
            for (size_t k = 1; k < pcrs.size() && expected.empty(); ++k) {
                const int64_t step =
                    get_pcr(&input[pcrs[k] * kPacket]) - get_pcr(&input[pcrs[k - 1] * kPacket]);
                if (step < 0) expected = jump_text(static_cast<double>(step) / 27e6);
            }
        if (c.fatal)
            expected += "FATAL ERROR: the stream's " + std::to_string(pcrs.size()) +
                        " PCRs on PID 256 jump or do not advance (no two within 1 s): "
                        "--adapt-rate cannot measure its rate\n";
        EXPECT_EQ(run.log, expected) << c.name;
        EXPECT_EQ(run.log.find("inf"), std::string::npos) << c.name;
    }
}

// A stream too fast for a 1.7 MHz channel: the settings suggested are those
// of 1.7 MHz, each carrying 1.7/8 of its rate in 8 MHz (EN 300 744 Table A.1
// scales with the bandwidth).
TEST(RateAdapterTest, SuggestsSettingsInTheRunsBandwidth) {
    StreamPlan plan = plan_at(3e6, 3.0);
    plan.null_share = 0;
    const Bytes input = make_stream(plan);
    const double share = 1.7 / 8;
    MemoryTsSource source(input);
    Log log(4, nullptr);
    std::string text;
    log.capture_to(&text);
    RateAdaptingSource adapter(source, kDefaultChannel * share, channel_band_of_bandwidth(1.7e6),
                               log);
    read_all(adapter, 63);
    ASSERT_TRUE(adapter.fatal());
    // 16QAM 2/3 1/8 and 3/4 1/4, 64QAM 1/2 1/4 in 8 MHz (Mbit/s).
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "Settings at 1.7 MHz that carry it: -M 16 -p 2/3 -D 1/8 (%.6f Mbit/s), -M 16 -p "
                  "3/4 -D 1/4 (%.6f Mbit/s), -M 64 -p 1/2 -D 1/4 (%.6f Mbit/s).",
                  14.745098 * share, 14.929412 * share, 14.929412 * share);
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_EQ(text.find("8 MHz"), std::string::npos) << text;
}

TEST(RateAdapterTest, AChannelRateThatIsNotPositiveStopsAtOnce) {
    const Bytes input = make_stream(plan_at(4e6, 0.2));
    for (const double rate : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
        const AdaptedRun run = adapt(input, rate);
        EXPECT_TRUE(run.fatal);
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.log.rfind("FATAL ERROR: channel rate ", 0), 0u) << run.log;
    }
}

TEST(RateAdapterTest, ALongGapBetweenPcrsIsBridgedAtTheMeasuredRate) {
    // PCRs only in the first and last 0.2 s of a 12-second stream at 2 Mbit/s
    // (16000 packets): the gap is timed at the measured rate.
    StreamPlan plan = plan_at(6e6, 12.0);
    plan.null_share = 0;
    Bytes input = make_stream(plan);
    const size_t count = input.size() / kPacket;
    for (size_t i = count / 60; i < count - count / 60; ++i)
        if (has_pcr(&input[i * kPacket])) input[i * kPacket + 5] &= static_cast<uint8_t>(~0x10);
    const AdaptedRun run = adapt(input, kDefaultChannel);
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(non_null_packets(run.output), non_null_packets(input));
    EXPECT_NE(run.log.find("WARNING: no PCR on PID 256 for 40000 packets"), std::string::npos)
        << run.log;
    EXPECT_LE(run.statistics.queue_high_water, 40000u + 64u);
}

}  // namespace
}  // namespace terramod::test
