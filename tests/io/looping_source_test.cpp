// --loop checked against a stream built here with every field known: the
// passes must join into one stream a decoder accepts (ISO/IEC 13818-1): each
// PID's continuity counters running on, the PCRs on one line through every
// wrap, PTS/DTS moved on by the loop's duration per pass; a pass whose
// pictures or sounds outlast its packets lengthened by null packets at each
// wrap, so no frame overlaps the next pass's, and PCR-only packets among
// them where the gap would leave a PCR PID's PCRs more than 40 ms apart; and
// a file cut mid-packet
// completed with zeros so that every pass starts on a packet.
#include "io/looping_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "io/ts_rate_adapter.h"
#include "tests/io/ts_test_support.h"

namespace terramod::test {
namespace {

constexpr int64_t kTicksPerPacket = 10152;  // 4 Mbit/s: 1504 bits x 27 MHz / 4e6
constexpr int64_t kPtsModulus = int64_t{1} << 33;
constexpr uint16_t kPcrPid = 0x1FF;        // adaptation-only packets with PCR
constexpr uint16_t kSecondPcrPid = 0x200;  // PCR in packets with payload
constexpr uint16_t kNull = 0x1FFF;
// A picture every 25 packets (846 PTS ticks: 25 x 10152 / 300); an audio
// frame of 24 ms (2160 ticks) every 64 packets, 63.8 packets' worth.
constexpr size_t kPicturePackets = 25;
constexpr int64_t kPictureTicks = 846;
constexpr size_t kAudioPackets = 64;
constexpr int64_t kAudioTicks = 2160;

int64_t centred(int64_t ticks, int64_t modulus) {
    ticks %= modulus;
    if (ticks < 0) ticks += modulus;
    return ticks > modulus / 2 ? ticks - modulus : ticks;
}

// ---- The synthetic programme -------------------------------------------

enum class Pcrs { kLinear, kNone, kOne, kFrozen };

struct PassPlan {
    size_t packets = 1010;  // N x 10152 / 300 = 34178.4: PTS steps round both ways
    size_t cut = 0;         // bytes kept of the last packet (0: it is whole)
    Pcrs pcrs = Pcrs::kLinear;
    bool second_pcr_pid = false;
    // Packets the last picture may end past the pass (at 0 it ends within).
    size_t video_overrun = 0;
    bool audio = false;      // 16 frames: 1021 packets' worth in 1010 packets
    int64_t audio_jump = 0;  // PTS ticks added to the second half's audio frames
};

// The first PCR and PTS lie so that the second pass wraps both clocks.
int64_t first_pcr(const PassPlan& plan) {
    return kPcrModulus - static_cast<int64_t>(plan.packets) * kTicksPerPacket * 3 / 2;
}
int64_t pts_at(size_t index) {
    return (kPtsModulus - 40000 + static_cast<int64_t>(index) * kTicksPerPacket / 300) %
           kPtsModulus;
}

void put_header(uint8_t* packet, uint16_t pid, bool unit_start, uint8_t control, uint8_t counter) {
    packet[0] = 0x47;
    packet[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0) | (pid >> 8));
    packet[2] = static_cast<uint8_t>(pid);
    packet[3] = static_cast<uint8_t>(control << 4 | (counter & 0x0F));
}

// An adaptation field filling the packet up to `payload` bytes of payload.
void put_adaptation(uint8_t* packet, size_t payload, bool pcr) {
    packet[4] = static_cast<uint8_t>(kPacket - 5 - payload);
    packet[5] = pcr ? 0x10 : 0x00;
    std::fill(packet + (pcr ? 12 : 6), packet + kPacket - payload, 0xFF);
}

void put_timestamp(uint8_t* field, uint8_t prefix, int64_t ticks) {
    field[0] = static_cast<uint8_t>(prefix << 4 | ((ticks >> 29) & 0x0E) | 1);
    field[1] = static_cast<uint8_t>(ticks >> 22);
    field[2] = static_cast<uint8_t>(((ticks >> 14) & 0xFE) | 1);
    field[3] = static_cast<uint8_t>(ticks >> 7);
    field[4] = static_cast<uint8_t>(((ticks << 1) & 0xFE) | 1);
}
int64_t get_timestamp(const uint8_t* field) {
    return (int64_t{(field[0] >> 1) & 7} << 30) | (int64_t{field[1]} << 22) |
           (int64_t{field[2] >> 1} << 15) | (int64_t{field[3]} << 7) | (field[4] >> 1);
}

int64_t audio_pts_at(size_t index) {
    return (kPtsModulus - 20000 + static_cast<int64_t>(index / kAudioPackets) * kAudioTicks) %
           kPtsModulus;
}

// An audio PES packet starting in a payload-only packet: a PTS alone.
void put_audio_pes_start(uint8_t* packet, size_t index, int64_t jump) {
    uint8_t* pes = packet + 4;
    const uint8_t start[] = {0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 5};
    std::copy(std::begin(start), std::end(start), pes);
    put_timestamp(pes + 9, 0x2, (audio_pts_at(index) + jump) % kPtsModulus);
}

// A video PES packet starting in a payload-only packet: PTS and DTS.
void put_pes_start(uint8_t* packet, size_t index) {
    uint8_t* pes = packet + 4;
    const uint8_t start[] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0xC0, 10};
    std::copy(std::begin(start), std::end(start), pes);
    put_timestamp(pes + 9, 0x3, pts_at(index));
    put_timestamp(pes + 14, 0x1, (pts_at(index) - 3003 + kPtsModulus) % kPtsModulus);
}

bool pcr_at(const PassPlan& plan, size_t index) {
    if (index % 40 != 0) return false;
    return plan.pcrs == Pcrs::kLinear || plan.pcrs == Pcrs::kFrozen ||
           (plan.pcrs == Pcrs::kOne && index == 0);
}

// PAT, PMT, video PES packets with PTS/DTS, a PCR PID of adaptation-only
// packets (the pass's first packet among them), null packets, and an
// adaptation-only video packet as the pass's last; audio PES packets if the
// plan says so. Counters start at values
// of their own per PID, so a plain restart breaks every one of them.
Bytes make_pass(const PassPlan& plan) {
    Bytes out(plan.packets * kPacket);
    std::map<uint16_t, uint8_t> counters = {{0, 5},        {kPmtPid, 9},        {kVideoPid, 14},
                                            {kPcrPid, 3},  {kSecondPcrPid, 11}, {kNull, 7},
                                            {kAudioPid, 2}};
    for (size_t i = 0; i < plan.packets; ++i) {
        uint8_t* packet = out.data() + i * kPacket;
        for (size_t k = 4; k < kPacket; ++k) packet[k] = static_cast<uint8_t>(i * 13 + k);
        uint16_t pid = kVideoPid;
        bool unit_start = false, pcr = false;
        uint8_t control = 1;
        if (i == plan.packets - 1) {
            control = 2;
        } else if (i % 40 == 0) {
            pid = kPcrPid;
            control = 2;
            pcr = pcr_at(plan, i);
        } else if (plan.second_pcr_pid && i % 40 == 20) {
            pid = kSecondPcrPid;
            control = 3;
            pcr = true;
        } else if (plan.audio && i % kAudioPackets == 10) {
            pid = kAudioPid;
            unit_start = true;
        } else if (i % 50 == 1 || i % 50 == 2) {
            pid = i % 50 == 1 ? 0 : kPmtPid;
            unit_start = true;
        } else if (i % 7 == 3) {
            pid = kNull;
        } else if (i % kPicturePackets == 5 &&
                   i + kPicturePackets <= plan.packets + plan.video_overrun) {
            unit_start = true;
        }
        if (control & 1) ++counters[pid];  // an adaptation-only packet repeats the counter
        put_header(packet, pid, unit_start, control, counters[pid]);
        if (control & 2) put_adaptation(packet, control == 3 ? 100 : 0, pcr);
        if (pcr) {
            const int64_t offset = pid == kSecondPcrPid ? 999999 : 0;
            const int64_t clock = plan.pcrs == Pcrs::kFrozen
                                      ? first_pcr(plan)
                                      : first_pcr(plan) + static_cast<int64_t>(i) * kTicksPerPacket;
            put_pcr(packet, (clock + offset) % kPcrModulus);
        }
        if (pid == kVideoPid && unit_start) put_pes_start(packet, i);
        if (pid == kAudioPid)
            put_audio_pes_start(packet, i, i >= plan.packets / 2 ? plan.audio_jump : 0);
    }
    if (plan.cut) out.resize(out.size() - kPacket + plan.cut);
    return out;
}

// ---- Running the loop --------------------------------------------------

class ScratchFile {
  public:
    explicit ScratchFile(const Bytes& bytes)
        : path_("looping_source_test_" + std::to_string(::getpid()) + ".ts") {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        EXPECT_EQ(std::fclose(file), 0);
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct LoopRun {
    Bytes output;
    std::string log;
};

// `total` bytes of the looped file, read `block` bytes at a time.
LoopRun loop(const Bytes& file_bytes, size_t total, size_t block) {
    ScratchFile file(file_bytes);
    LoopRun run;
    Log log(4, nullptr);
    log.capture_to(&run.log);
    std::unique_ptr<FileSource> source = FileSource::open(file.path(), log);
    EXPECT_NE(source, nullptr);
    if (!source) return run;
    LoopingSource looping(*source, log);
    Bytes buffer(block);
    while (run.output.size() < total) {
        const size_t got = looping.read_packets(buffer);
        run.output.insert(run.output.end(), buffer.begin(),
                          buffer.begin() + static_cast<long>(got));
        if (got < block) break;
    }
    run.output.resize(std::min(run.output.size(), total));
    return run;
}

// ---- The checker, written from ISO/IEC 13818-1 alone ---------------------

// Continuity errors: on each PID but the null PID, a packet with payload
// follows its predecessor's counter by one, an adaptation-only packet repeats
// it (clause 2.4.3.3).
int continuity_errors(const Bytes& stream) {
    std::map<uint16_t, int> last;
    int errors = 0;
    for (size_t at = 0; at + kPacket <= stream.size(); at += kPacket) {
        const uint8_t* packet = &stream[at];
        const uint16_t pid = pid_of(packet);
        const int control = (packet[3] >> 4) & 3;
        if (packet[0] != 0x47 || pid == kNull || control == 0) continue;
        const int counter = packet[3] & 0x0F;
        if (last.count(pid) && counter != ((last[pid] + (control & 1)) & 0x0F)) ++errors;
        last[pid] = counter;
    }
    return errors;
}

// The largest departure, in ticks, of a PCR from its PID's previous PCR
// advanced by the packets between at the stream's rate.
int64_t worst_pcr_step(const Bytes& stream) {
    std::map<uint16_t, std::pair<size_t, int64_t>> last;
    int64_t worst = 0;
    for (size_t j = 0; (j + 1) * kPacket <= stream.size(); ++j) {
        const uint8_t* packet = &stream[j * kPacket];
        if (!has_pcr(packet)) continue;
        const uint16_t pid = pid_of(packet);
        const int64_t pcr = get_pcr(packet);
        if (last.count(pid)) {
            const auto [index, value] = last[pid];
            const int64_t expected = value + static_cast<int64_t>(j - index) * kTicksPerPacket;
            worst = std::max(worst, std::abs(centred(pcr - expected, kPcrModulus)));
        }
        last[pid] = {j, pcr};
    }
    return worst;
}

// Each video PES start's PTS and DTS against the same packet's in the file,
// moved on by `per_pass` 27 MHz ticks per pass (rounded to 90 kHz from the
// total); each pass followed by `gap` packets that are not the file's.
int timestamp_errors(const Bytes& stream, const Bytes& pass, size_t pass_packets, int64_t per_pass,
                     size_t gap = 0) {
    int errors = 0;
    const size_t period = pass_packets + gap;
    for (size_t j = 0; (j + 1) * kPacket <= stream.size(); ++j) {
        const uint8_t* packet = &stream[j * kPacket];
        if (j % period >= pass_packets) continue;
        if (pid_of(packet) != kVideoPid || !(packet[1] & 0x40)) continue;
        const uint8_t* original = &pass[(j % period) * kPacket];
        const int64_t pass_number = static_cast<int64_t>(j / period);
        const int64_t shift = std::llround(static_cast<double>(pass_number * per_pass) / 300);
        for (const size_t field : {4 + 9, 4 + 14}) {
            const int64_t expected = (get_timestamp(original + field) + shift) % kPtsModulus;
            if (get_timestamp(packet + field) != expected) ++errors;
            if (packet[field] >> 4 != original[field] >> 4) ++errors;  // the prefix
            for (const size_t marker : {0, 2, 4})
                if (!(packet[field + marker] & 1)) ++errors;
        }
    }
    return errors;
}

// Where the discontinuity_indicator is set: (pass, PID) of each such packet.
std::vector<std::pair<size_t, uint16_t>> discontinuities(const Bytes& stream, size_t pass_packets) {
    std::vector<std::pair<size_t, uint16_t>> found;
    for (size_t j = 0; (j + 1) * kPacket <= stream.size(); ++j) {
        const uint8_t* packet = &stream[j * kPacket];
        if ((packet[3] & 0x20) && packet[4] > 0 && (packet[5] & 0x80))
            found.emplace_back(j / pass_packets, pid_of(packet));
    }
    return found;
}

// ---- Passes joined into one stream -------------------------------------

struct JoinCase {
    const char* name;
    PassPlan plan;
    bool timestamps_moved;  // else the discontinuity indicator
    const char* log;        // in the first wrap's line
};

void PrintTo(const JoinCase& c, std::ostream* out) {
    *out << c.name;
}

class LoopedStreamTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(LoopedStreamTest, PassesJoinIntoOneContinuousStream) {
    const JoinCase& c = GetParam();
    const Bytes pass = make_pass(c.plan);
    const size_t packets = c.plan.packets;
    const size_t passes = 4;
    const LoopRun run = loop(pass, passes * packets * kPacket, 188 * 64);
    ASSERT_EQ(run.output.size(), passes * packets * kPacket) << run.log;

    EXPECT_EQ(continuity_errors(run.output), 0);
    EXPECT_NE(run.log.find(c.log), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Input wrapped to its beginning (pass 4)\n"), std::string::npos);
    // The loop's duration: the pass's packets at the stream's rate.
    const int64_t duration = static_cast<int64_t>(packets) * kTicksPerPacket;
    if (c.timestamps_moved) {
        EXPECT_LE(worst_pcr_step(run.output), 1);
        EXPECT_EQ(timestamp_errors(run.output, pass, packets, duration), 0);
        EXPECT_TRUE(discontinuities(run.output, packets).empty());
        return;
    }
    EXPECT_EQ(timestamp_errors(run.output, pass, packets, 0), 0);
    // PCRs as in the file; each PCR PID's first PCR of a later pass marked.
    std::vector<std::pair<size_t, uint16_t>> expected_marks;
    for (size_t p = 1; p < passes && c.plan.pcrs != Pcrs::kNone; ++p) {
        expected_marks.emplace_back(p, kPcrPid);
        if (c.plan.second_pcr_pid) expected_marks.emplace_back(p, kSecondPcrPid);
    }
    EXPECT_EQ(discontinuities(run.output, packets), expected_marks);
    for (size_t j = 0; j < passes * packets; ++j) {
        const uint8_t* packet = &run.output[j * kPacket];
        if (has_pcr(packet)) {
            EXPECT_EQ(get_pcr(packet), get_pcr(&pass[(j % packets) * kPacket])) << j;
        }
    }
}

PassPlan plan_with(Pcrs pcrs, bool second = false, size_t cut = 0) {
    PassPlan plan;
    plan.pcrs = pcrs;
    plan.second_pcr_pid = second;
    plan.cut = cut;
    return plan;
}

INSTANTIATE_TEST_SUITE_P(
    Loop, LoopedStreamTest,
    ::testing::Values(
        JoinCase{"LinearPcrs", plan_with(Pcrs::kLinear), true,
                 "PCR/PTS/DTS moved on by 0.379760 s"},
        JoinCase{"TwoPcrPids", plan_with(Pcrs::kLinear, true), true, "moved on by"},
        JoinCase{"CutLastPacket", plan_with(Pcrs::kLinear, true, 100), true, "moved on by"},
        JoinCase{"NoPcr", plan_with(Pcrs::kNone), false, "(pass 2): counters carried on\n"},
        JoinCase{"OnePcr", plan_with(Pcrs::kOne), false, "marked discontinuous"},
        JoinCase{"FrozenPcrs", plan_with(Pcrs::kFrozen, true), false, "marked discontinuous"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Content that outlasts its packets ---------------------------------

// Each PID's PTS in stream order (the synthetic programme sends its frames in
// presentation order): a step shorter than the PID's frame means a frame
// overlapping the one before, or going back. Returns such steps.
int overlapping_frames(const Bytes& stream) {
    const std::map<uint16_t, int64_t> frame = {{kVideoPid, kPictureTicks},
                                               {kAudioPid, kAudioTicks}};
    std::map<uint16_t, int64_t> last;
    int overlaps = 0;
    for (size_t at = 0; at + kPacket <= stream.size(); at += kPacket) {
        const uint8_t* packet = &stream[at];
        const uint16_t pid = pid_of(packet);
        if (!frame.count(pid) || !(packet[1] & 0x40)) continue;
        const int64_t pts = get_timestamp(packet + 4 + 9);
        if (last.count(pid) && centred(pts - last[pid], kPtsModulus) < frame.at(pid)) ++overlaps;
        last[pid] = pts;
    }
    return overlaps;
}

// The longest step, in 27 MHz ticks, between consecutive PCRs of `pid`.
int64_t longest_pcr_interval(const Bytes& stream, uint16_t pid) {
    std::optional<int64_t> last;
    int64_t longest = 0;
    for (size_t at = 0; at + kPacket <= stream.size(); at += kPacket) {
        const uint8_t* packet = &stream[at];
        if (pid_of(packet) != pid || !has_pcr(packet)) continue;
        const int64_t pcr = get_pcr(packet);
        if (last) longest = std::max(longest, centred(pcr - *last, kPcrModulus));
        last = pcr;
    }
    return longest;
}

// A PCR-only packet of `pid` (clause 2.4.3.4): no unit start, not scrambled,
// adaptation field only, of 183 bytes with the PCR_flag alone, its reserved
// bits set and stuffing bytes after the PCR.
bool is_pcr_only(const uint8_t* packet, uint16_t pid) {
    return packet[0] == 0x47 && packet[1] == (pid >> 8) && packet[2] == (pid & 0xFF) &&
           (packet[3] & 0xF0) == 0x20 && packet[4] == 183 && packet[5] == 0x10 &&
           (packet[10] & 0x7E) == 0x7E &&
           std::all_of(packet + 12, packet + kPacket, [](uint8_t b) { return b == 0xFF; });
}

struct OutlastCase {
    const char* name;
    PassPlan plan;
    // By hand: the pass is 1010 packets of 10152 ticks (10253520); a frame
    // ending past it needs ceil(excess / 10152) null packets.
    size_t gap;
    // Whether the wrap's PCR interval needs PCRs in the gap: the timing
    // PID's last PCR is at packet 1000, its first at 0, 15 ms apart; 40 ms
    // is 106.4 packets.
    bool pcrs_in_gap;
};

void PrintTo(const OutlastCase& c, std::ostream* out) {
    *out << c.name;
}

class OutlastingContentTest : public ::testing::TestWithParam<OutlastCase> {};

TEST_P(OutlastingContentTest, NullPacketsAtEachWrapLetEveryFrameEnd) {
    const OutlastCase& c = GetParam();
    const Bytes pass = make_pass(c.plan);
    const size_t packets = c.plan.packets;
    const size_t period = packets + c.gap;
    const size_t passes = 4;
    const LoopRun run = loop(pass, passes * period * kPacket, 188 * 64);
    ASSERT_EQ(run.output.size(), passes * period * kPacket) << run.log;

    // Each pass as in the file (PIDs in place), then the gap's null packets,
    // some of them PCR-only packets of a PCR PID.
    size_t gap_pcrs = 0;
    for (size_t j = 0; j < passes * period; ++j) {
        const uint8_t* packet = &run.output[j * kPacket];
        const size_t i = j % period;
        if (i < packets) {
            ASSERT_EQ(pid_of(packet), pid_of(&pass[i * kPacket])) << "packet " << j;
            continue;
        }
        if (pid_of(packet) != kNull) {
            const bool pcr_pid = pid_of(packet) == kPcrPid ||
                                 (c.plan.second_pcr_pid && pid_of(packet) == kSecondPcrPid);
            EXPECT_TRUE(pcr_pid && is_pcr_only(packet, pid_of(packet))) << "packet " << j;
            ++gap_pcrs;
            continue;
        }
        EXPECT_EQ(packet[0], 0x47);
        EXPECT_EQ(packet[3] & 0xF0, 0x10) << "payload only, not scrambled";
        EXPECT_TRUE(std::all_of(packet + 4, packet + kPacket, [](uint8_t b) { return b == 0xFF; }));
    }
    EXPECT_EQ(gap_pcrs > 0, c.pcrs_in_gap) << gap_pcrs;
    // The gap's PCRs repeat the counter (adaptation only) and lie on the line.
    EXPECT_EQ(continuity_errors(run.output), 0);
    EXPECT_LE(worst_pcr_step(run.output), 1);  // one line through the gaps too
    const int64_t forty_ms = 27000000 / 25;
    EXPECT_LE(longest_pcr_interval(run.output, kPcrPid), forty_ms);
    if (c.plan.second_pcr_pid) {
        EXPECT_LE(longest_pcr_interval(run.output, kSecondPcrPid), forty_ms);
    }
    EXPECT_EQ(overlapping_frames(run.output), 0);
    const int64_t duration = static_cast<int64_t>(period) * kTicksPerPacket;
    EXPECT_EQ(timestamp_errors(run.output, pass, packets, duration, c.gap), 0);

    char line[160];
    std::snprintf(line, sizeof line, "moved on by %.6f s a pass", duration / 27e6);
    EXPECT_NE(run.log.find(line), std::string::npos) << run.log;
    const std::string gap_text =
        ", " + std::to_string(c.gap) +
        (c.pcrs_in_gap ? " packets at each wrap (" + std::to_string(gap_pcrs / passes) +
                             " of them PCR-only, the rest null) so each pass lasts as long as"
                       : " null packets at each wrap so each pass lasts as long as");
    EXPECT_EQ(run.log.find(gap_text) != std::string::npos, c.gap > 0) << run.log;
    EXPECT_EQ(run.log.find("at each wrap"), run.log.rfind("at each wrap")) << "said once";
}

PassPlan outlasting(bool audio, size_t video_overrun, bool second = false, size_t cut = 0,
                    int64_t audio_jump = 0) {
    PassPlan plan = plan_with(Pcrs::kLinear, second, cut);
    plan.audio = audio;
    plan.video_overrun = video_overrun;
    plan.audio_jump = audio_jump;
    return plan;
}

INSTANTIATE_TEST_SUITE_P(
    Loop, OutlastingContentTest,
    ::testing::Values(
        // Pictures 5..980: (33163 - 169 + 846) x 300 = 10152000, within.
        OutlastCase{"ContentFits", outlasting(false, 0), 0, false},
        // Audio: 16 frames, 16 x 2160 x 300 = 10368000: 114480 more, 11.3.
        // The wrap's PCR interval: 10 + 12 packets, 8.3 ms.
        OutlastCase{"AudioOutlasts", outlasting(true, 0), 12, false},
        // Pictures 5..1005: (34009 - 169 + 846) x 300 = 10405800: 152280
        // more, exactly 15 packets.
        OutlastCase{"VideoOutlastsByWholePackets", outlasting(false, 20), 15, false},
        // The longer of the two counts; a second PCR PID and a cut last packet.
        OutlastCase{"BothOutlastCutLastPacket", outlasting(true, 20, true, 100), 15, false},
        // The second half's audio 100 ms later: (15 x 2160 + 9000 + 2160) x
        // 300 = 13068000, 2814480 more, 277.2 packets; the wrap's PCR
        // interval would be 10 + 278 packets, 108 ms.
        OutlastCase{"LongGap", outlasting(true, 0, false, 0, 9000), 278, true},
        // As long with a second PCR PID (980 to 20: 328 packets, 123 ms).
        OutlastCase{"LongGapTwoPcrPids", outlasting(true, 0, true, 100, 9000), 278, true},
        // 333 ms later: 19368000, 9114480 more, 897.8 packets (331 ms), just
        // under twice the pass's packets.
        OutlastCase{"NearlyTwiceThePackets", outlasting(true, 0, true, 0, 30000), 898, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Timestamps that jump within the file (a second's jump in 0.38 s of
// packets) are no content to wait for: the pass keeps its packets' duration.
TEST(LoopingSourceTest, AJumpInTheTimestampsAddsNoNullPackets) {
    PassPlan plan = outlasting(true, 0);
    plan.audio_jump = 90000;
    const Bytes pass = make_pass(plan);
    const size_t packets = plan.packets;
    const LoopRun run = loop(pass, 3 * packets * kPacket, 188 * 64);
    ASSERT_EQ(run.output.size(), 3 * packets * kPacket);
    EXPECT_NE(run.log.find("moved on by 0.379760 s a pass\n"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("null packets"), std::string::npos) << run.log;
    EXPECT_EQ(timestamp_errors(run.output, pass, packets, packets * kTicksPerPacket), 0);
    EXPECT_EQ(continuity_errors(run.output), 0);
    EXPECT_LE(worst_pcr_step(run.output), 1);
}

// The output depends on the file alone, not on how it is read: the null
// and PCR-only packets at a wrap included, which blocks of any size may split.
TEST(LoopingSourceTest, AnySplitOfReadsGivesTheSameBytes) {
    PassPlan outlasting = plan_with(Pcrs::kLinear, true, 100);
    outlasting.audio = true;
    PassPlan long_gap = outlasting;  // PCR-only packets in the gap
    long_gap.audio_jump = 9000;
    for (const PassPlan& plan : {plan_with(Pcrs::kLinear, true, 100), outlasting, long_gap}) {
        const Bytes pass = make_pass(plan);
        const size_t total = 3 * pass.size() + 5000;
        const Bytes reference = loop(pass, total, 188 * 64).output;
        ASSERT_EQ(reference.size(), total);
        for (const size_t block : {188, 188 * 5, 97, 1000, 188 * 1010 + 1, 188 * 1015 + 5})
            EXPECT_EQ(loop(pass, total, block).output, reference)
                << block << (plan.audio ? " outlasting" : "");
    }
}

// ---- A file that is not a whole number of packets ----------------------

// Null packets, each numbered, whose last is cut to `cut` bytes: nothing in
// them is rewritten, so the looped stream is the file completed with zeros,
// pass after pass.
struct CutCase {
    size_t cut;
    size_t block;  // 0: the file's length + 1, a read ending inside the zeros
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << "cut " << c.cut << ", block " << c.block;
}

class CutFileTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutFileTest, EveryPassStartsOnAPacketAndTheZerosAreWhole) {
    const size_t packets = 30;
    Bytes file(packets * kPacket);
    for (size_t i = 0; i < packets; ++i) {
        uint8_t* packet = &file[i * kPacket];
        put_header(packet, kNull, false, 1, 0);
        std::fill(packet + 4, packet + kPacket, static_cast<uint8_t>(i + 1));
    }
    const size_t cut = GetParam().cut;
    file.resize((packets - 1) * kPacket + cut);
    const size_t block = GetParam().block ? GetParam().block : file.size() + 1;
    // The first read, or a later one, ends inside the zeros.
    const size_t padding_end = packets * kPacket;
    bool splits = false;
    for (size_t end = block; end < 3 * padding_end; end += block)
        splits = splits || (end % padding_end > file.size() && end % padding_end != 0);
    ASSERT_TRUE(splits) << "the case does not split the padding";

    const size_t passes = 3;
    const LoopRun run = loop(file, passes * padding_end, block);
    ASSERT_EQ(run.output.size(), passes * padding_end);
    for (size_t p = 0; p < passes; ++p) {
        const uint8_t* start = &run.output[p * padding_end];
        EXPECT_TRUE(std::equal(file.begin(), file.end(), start)) << "pass " << p;
        EXPECT_TRUE(std::all_of(start + file.size(), start + padding_end,
                                [](uint8_t byte) { return byte == 0; }))
            << "pass " << p;
        for (size_t i = 0; i < packets; ++i)
            EXPECT_EQ(start[i * kPacket], 0x47) << "pass " << p << " packet " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Loop, CutFileTest,
                         ::testing::Values(CutCase{1, 0}, CutCase{3, 97}, CutCase{100, 0},
                                           CutCase{100, 930}, CutCase{185, 0},
                                           CutCase{50, 188 + 3}),
                         [](const auto& info) {
                             return "Cut" + std::to_string(info.param.cut) + "Block" +
                                    std::to_string(info.param.block);
                         });

// ---- Through the rate adapter ------------------------------------------

// A looped stream re-timed: one timeline, so no jump is reported and every
// PCR sits within 500 ns of its slot on the channel's grid.
TEST(LoopingSourceTest, ALoopedStreamIsOneTimelineForTheRateAdapter) {
    StreamPlan plan;
    plan.rate = 4e6;
    plan.seconds = 0.75;
    plan.first_pcr = kPcrModulus - 27000000;  // the clock wraps in the second pass
    ScratchFile file(make_stream(plan));
    Log log(4, nullptr);
    std::string messages;
    log.capture_to(&messages);
    std::unique_ptr<FileSource> source = FileSource::open(file.path(), log);
    ASSERT_NE(source, nullptr);
    LoopingSource looping(*source, log);
    RateAdaptingSource adapter(looping, kDefaultChannel, kSpacing8MHz, log);
    const size_t slots = static_cast<size_t>(4 * plan.seconds * kDefaultChannel / 1504);
    const Bytes output = read_all(adapter, 64, slots * kPacket);
    ASSERT_GE(output.size(), slots * kPacket) << messages;
    EXPECT_GE(looping.wraps(), 3);

    EXPECT_EQ(messages.find("jumps"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("WARNING"), std::string::npos) << messages;
    EXPECT_EQ(continuity_errors(output), 0);
    const double ticks_per_slot = 1504 * 27e6 / kDefaultChannel;
    size_t first_index = 0, pcrs = 0;
    int64_t first_value = 0;
    double worst = 0;
    for (size_t j = 0; (j + 1) * kPacket <= output.size(); ++j) {
        const uint8_t* packet = &output[j * kPacket];
        if (!has_pcr(packet)) continue;
        if (pcrs++ == 0) {
            first_index = j;
            first_value = get_pcr(packet);
            continue;
        }
        const double expected = static_cast<double>(j - first_index) * ticks_per_slot;
        const int64_t whole = static_cast<int64_t>(std::floor(expected));
        const double error =
            static_cast<double>(centred(get_pcr(packet) - first_value - whole, kPcrModulus)) -
            (expected - static_cast<double>(whole));
        worst = std::max(worst, std::fabs(error));
    }
    EXPECT_GT(pcrs, 100u);
    EXPECT_LE(worst, 13.5);  // 500 ns
}

}  // namespace
}  // namespace terramod::test
