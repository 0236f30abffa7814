#include "io/ts_health.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace terramod {

namespace {

// TR 101 290 5.2.1, 1.1: sync is regained after this many correct sync bytes
// in a row (ISO/IEC 13818-1 clause G.1), lost after this many corrupted ones.
constexpr unsigned kSyncRegain = 5;
constexpr unsigned kSyncLoss = 2;
// 1.3 and 1.5: PAT and PMT sections at least every 0.5 s.
constexpr double kTableInterval = 0.5;
// ISO/IEC 13818-1 clause 2.4.4: a PSI section's section_length is at most
// 1021; a table_id of 0xFF is stuffing, the end of a packet's sections.
constexpr size_t kMaxSectionLength = 1021;
constexpr uint8_t kStuffing = 0xFF;
constexpr uint8_t kPatTableId = 0x00;
constexpr uint8_t kPmtTableId = 0x02;
constexpr size_t kPacketBits = 8 * ts::kPacketSize;
// Rate samples: this many per window at most.
constexpr double kRateSamplesPerWindow = 256;

// CRC_32 of ISO/IEC 13818-1 Annex A: polynomial 0x04C11DB7, register
// starting at all ones, no reflection; over a whole section, CRC_32 field
// included, it leaves zero.
constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[byte] = crc;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

uint32_t section_crc(std::span<const uint8_t> section) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : section) crc = (crc << 8) ^ kCrcTable[(crc >> 24) ^ byte];
    return crc;
}

uint16_t read16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}
uint16_t read_pid(std::span<const uint8_t> bytes, size_t at) {
    return read16(bytes, at) & 0x1FFF;
}
size_t section_length(std::span<const uint8_t> section) {
    return read16(section, 1) & 0x0FFF;
}
// A PID a PAT or PMT may name: not one of the reserved 0x0000-0x000F, not
// the null PID.
bool assignable_pid(uint16_t pid) {
    return pid >= 0x0010 && pid < ts::kNullPid;
}
uint8_t scrambling_control(const uint8_t* packet) {
    return packet[3] >> 6;
}

}  // namespace

TsHealthMonitor::TsHealthMonitor(TsHealthSettings settings) : settings_(settings) {
    if (!std::isfinite(settings_.pid_period_seconds) || settings_.pid_period_seconds <= 0)
        throw std::invalid_argument(
            "TS health: the PID_error period must be a positive number of seconds");
    if (!std::isfinite(settings_.rate_window_seconds) || settings_.rate_window_seconds <= 0)
        throw std::invalid_argument(
            "TS health: the rate window must be a positive number of seconds");
}

void TsHealthMonitor::observe(std::span<const uint8_t, ts::kPacketSize> packet,
                              double arrival_seconds) {
    if (!started_) {
        started_ = true;
        now_ = std::isfinite(arrival_seconds) ? arrival_seconds : 0;
        pat_timer_ = {now_, false};  // the PAT is expected from the first packet on
    }
    set_time(arrival_seconds);
    count_arrival();
    check_sync_byte(packet[0]);
    if (in_sync_) read_packet(packet.data());
}

void TsHealthMonitor::advance_to(double now_seconds) {
    if (started_) set_time(now_seconds);
}

void TsHealthMonitor::set_time(double seconds) {
    if (std::isfinite(seconds) && seconds > now_) now_ = seconds;
    prune_rate_samples();
    check_timers();
}

// Counts once per gap: a timer raised stays quiet until its table or PID
// occurs again.
void TsHealthMonitor::check_timers() {
    if (!in_sync_) return;
    const auto overdue = [this](AbsenceTimer& timer, double limit) {
        if (timer.raised || now_ - timer.since <= limit) return false;
        timer.raised = true;
        return true;
    };
    if (overdue(pat_timer_, kTableInterval)) ++counters_.pat_errors;
    for (auto& [pid, timer] : pmt_timers_)
        if (overdue(timer, kTableInterval)) ++counters_.pmt_errors;
    for (auto& [pid, timer] : stream_timers_)
        if (overdue(timer, settings_.pid_period_seconds)) ++counters_.pid_errors;
}

void TsHealthMonitor::restart_timers() {
    pat_timer_.since = now_;
    for (auto& [pid, timer] : pmt_timers_) timer.since = now_;
    for (auto& [pid, timer] : stream_timers_) timer.since = now_;
}

// 1.1 and 1.2. A single corrupted sync byte leaves sync held: its packet is
// read as any other.
void TsHealthMonitor::check_sync_byte(uint8_t sync_byte) {
    if (sync_byte != ts::kSyncByte) {
        ++counters_.sync_byte_errors;
        good_sync_run_ = 0;
        if (++bad_sync_run_ >= kSyncLoss && in_sync_) {
            in_sync_ = false;
            ++counters_.sync_losses;
        }
        return;
    }
    bad_sync_run_ = 0;
    if (in_sync_ || ++good_sync_run_ < kSyncRegain) return;
    // Regained: what came while sync was lost is unknown, so every count,
    // section and timer starts again.
    in_sync_ = true;
    good_sync_run_ = 0;
    continuity_.fill({});
    partial_sections_.clear();
    restart_timers();
}

void TsHealthMonitor::count_arrival() {
    ++packets_;
    last_arrival_ = now_;
    // A sample holds every packet arrived at its time (datagrams bring
    // several at once).
    if (!rate_samples_.empty() && rate_samples_.back().time == now_) {
        rate_samples_.back().packets = packets_;
    } else if (rate_samples_.empty() || now_ - rate_samples_.back().time >=
                                            settings_.rate_window_seconds / kRateSamplesPerWindow) {
        rate_samples_.push_back({now_, packets_});
    }
}

void TsHealthMonitor::prune_rate_samples() {
    if (rate_samples_.empty()) return;
    const double window_start = now_ - settings_.rate_window_seconds;
    if (last_arrival_ < window_start) {
        rate_samples_.clear();
        return;
    }
    while (rate_samples_.size() >= 2 && rate_samples_[1].time <= window_start)
        rate_samples_.pop_front();
}

double TsHealthMonitor::measured_rate() const {
    if (rate_samples_.empty()) return 0;
    const RateSample& first = rate_samples_.front();
    const double span = now_ - first.time;
    if (span <= 0) return 0;
    return static_cast<double>((packets_ - first.packets) * kPacketBits) / span;
}

void TsHealthMonitor::read_packet(const uint8_t* packet) {
    if (ts::transport_error(packet)) {
        ++counters_.transport_errors;
        return;
    }
    if (ts::adaptation_field_control(packet) == 0) return;  // reserved: a decoder drops it
    const uint16_t pid = ts::pid(packet);
    if (roles_[pid] & kStreamRole) {
        AbsenceTimer& timer = stream_timers_.at(pid);
        timer = {now_, false};
    }
    const Continuation continuation =
        pid == ts::kNullPid ? Continuation::next : check_continuity(packet, pid);

    if (pid != ts::kPatPid && !(roles_[pid] & kPmtRole)) return;
    // 1.3 and 1.5: the PAT and the PMTs are never scrambled; a scrambled
    // payload is not read.
    if (scrambling_control(packet) != 0) {
        ++(pid == ts::kPatPid ? counters_.pat_errors : counters_.pmt_errors);
        partial_sections_.erase(pid);
        return;
    }
    if (continuation == Continuation::repeat) return;  // its sections were read already
    if (continuation == Continuation::broken) partial_sections_.erase(pid);
    const size_t offset = ts::payload_offset(packet);
    if (!ts::has_payload(packet) || offset >= ts::kPacketSize) return;
    read_sections(pid, {packet + offset, ts::kPacketSize - offset}, ts::payload_unit_start(packet));
}

// 1.4, after ISO/IEC 13818-1 clause 2.4.3.3: the counter steps by one with
// each packet carrying payload; one duplicate (the same counter) may follow
// a packet.
TsHealthMonitor::Continuation TsHealthMonitor::check_continuity(const uint8_t* packet,
                                                                uint16_t pid) {
    Continuity& count = continuity_[pid];
    const uint8_t counter = ts::continuity_counter(packet);
    if (!ts::has_payload(packet)) {
        // The counter stands still here and is not checked; a
        // discontinuity_indicator still makes the next one start a count.
        if (ts::discontinuity(packet)) count = {};
        return Continuation::next;
    }
    if (count.last == kNoCount || ts::discontinuity(packet)) {
        count = {counter, 0};
        return Continuation::broken;  // nothing before this packet to continue
    }
    if (counter == count.last) {
        if (count.repeats < 2) ++count.repeats;
        if (count.repeats >= 2) ++counters_.cc_errors;  // seen more than twice
        return Continuation::repeat;
    }
    const bool follows = counter == ((count.last + 1) & 0x0F);
    count = {counter, 0};
    if (follows) return Continuation::next;
    ++counters_.cc_errors;
    return Continuation::broken;
}

// The sections of a packet of PID 0 or a PMT PID (ISO/IEC 13818-1 clause
// 2.4.4.1): pointer_field in a packet where one starts, then sections back
// to back up to stuffing; a section may run on into the next packets.
void TsHealthMonitor::read_sections(uint16_t pid, std::span<const uint8_t> payload,
                                    bool unit_start) {
    if (!unit_start) {
        continue_section(pid, payload);
        return;
    }
    const size_t pointer = payload[0];
    if (1 + pointer > payload.size()) {
        partial_sections_.erase(pid);
        return;
    }
    continue_section(pid, payload.subspan(1, pointer));
    partial_sections_.erase(pid);  // what it still lacks will not come
    for (size_t at = 1 + pointer; at < payload.size() && payload[at] != kStuffing;) {
        const std::span<const uint8_t> rest = payload.subspan(at);
        if (rest.size() >= 3 && section_length(rest) > kMaxSectionLength) return;
        if (rest.size() < 3 || 3 + section_length(rest) > rest.size()) {
            partial_sections_[pid].assign(rest.begin(), rest.end());
            return;
        }
        const size_t total = 3 + section_length(rest);
        take_section(pid, rest.first(total));
        at += total;
    }
}

void TsHealthMonitor::continue_section(uint16_t pid, std::span<const uint8_t> bytes) {
    const auto found = partial_sections_.find(pid);
    if (found == partial_sections_.end()) return;
    std::vector<uint8_t>& partial = found->second;
    partial.insert(partial.end(), bytes.begin(), bytes.end());
    if (partial.size() < 3) return;
    const size_t length = section_length(partial);
    if (length > kMaxSectionLength) {
        partial_sections_.erase(found);
        return;
    }
    if (partial.size() < 3 + length) return;
    // Taking a section may change which PIDs are gathered: the map's entry
    // goes before it is taken.
    const std::vector<uint8_t> section(partial.begin(), partial.begin() + 3 + length);
    partial_sections_.erase(found);
    take_section(pid, section);
}

void TsHealthMonitor::take_section(uint16_t pid, std::span<const uint8_t> section) {
    const uint8_t table_id = section[0];
    if (pid == ts::kPatPid && table_id != kPatTableId) {
        ++counters_.pat_errors;  // 1.3: another table on PID 0x0000
        return;
    }
    if (pid != ts::kPatPid && table_id != kPmtTableId) return;  // a PMT PID may carry others
    const bool crc_holds = section_crc(section) == 0;
    if (!crc_holds) ++counters_.crc_errors;
    if (pid == ts::kPatPid) {
        pat_timer_ = {now_, false};
        if (crc_holds) take_pat(section);
        return;
    }
    if (const auto timer = pmt_timers_.find(pid); timer != pmt_timers_.end())
        timer->second = {now_, false};
    if (crc_holds) take_pmt(pid, section);
}

// program_association_section (ISO/IEC 13818-1 clause 2.4.4.3): 8 bytes of
// header, entries of 4 bytes, CRC_32. Programme 0 names the network PID.
void TsHealthMonitor::take_pat(std::span<const uint8_t> section) {
    if ((section[1] & 0x80) == 0 || section.size() < 12) return;
    if ((section[5] & 0x01) == 0) return;  // current_next_indicator: not yet applicable
    const int version = (section[5] >> 1) & 0x1F;
    bool changed = version != pat_version_;
    if (changed) {
        pat_sections_.clear();
        pat_version_ = version;
    }
    std::vector<std::pair<uint16_t, uint16_t>> entries;
    for (size_t at = 8; at + 4 <= section.size() - 4; at += 4) {
        const uint16_t programme = read16(section, at);
        const uint16_t pmt_pid = read_pid(section, at + 2);
        if (programme != 0 && assignable_pid(pmt_pid)) entries.emplace_back(programme, pmt_pid);
    }
    auto& kept = pat_sections_[section[6]];
    changed = changed || kept != entries;
    kept = std::move(entries);
    if (changed) update_expectations();
}

// TS_program_map_section (clause 2.4.4.8): 12 bytes of header, the programme
// descriptors, then per elementary stream 5 bytes and its descriptors;
// CRC_32. Read only for a programme the PAT maps to this PID.
void TsHealthMonitor::take_pmt(uint16_t pid, std::span<const uint8_t> section) {
    if ((section[1] & 0x80) == 0 || section.size() < 16) return;
    if ((section[5] & 0x01) == 0) return;
    const uint16_t number = read16(section, 3);
    const bool listed =
        std::any_of(pat_sections_.begin(), pat_sections_.end(), [&](const auto& pat) {
            return std::find(pat.second.begin(), pat.second.end(), std::pair{number, pid}) !=
                   pat.second.end();
        });
    if (!listed) return;
    const size_t end = section.size() - 4;
    size_t at = 12 + (read16(section, 10) & 0x0FFF);
    Programme programme{pid, {}};
    while (at + 5 <= end) {
        const uint16_t stream_pid = read_pid(section, at + 1);
        if (assignable_pid(stream_pid)) programme.stream_pids.push_back(stream_pid);
        at += 5 + (read16(section, at + 3) & 0x0FFF);
    }
    if (at != end) return;  // a length runs past the section: not taken
    std::sort(programme.stream_pids.begin(), programme.stream_pids.end());
    const auto [found, inserted] = programmes_.try_emplace(number, programme);
    if (!inserted && found->second == programme) return;
    found->second = std::move(programme);
    update_expectations();
}

// The PMT PIDs and elementary streams expected now. A table or PID already
// expected keeps its timer; a new one's starts now.
void TsHealthMonitor::update_expectations() {
    std::map<uint16_t, uint16_t> listed;  // programme number -> PMT PID
    for (const auto& [number, entries] : pat_sections_)
        for (const auto& [programme, pmt_pid] : entries) listed[programme] = pmt_pid;
    std::erase_if(programmes_, [&](const auto& entry) {
        const auto found = listed.find(entry.first);
        return found == listed.end() || found->second != entry.second.pmt_pid;
    });

    const auto carry = [this](const std::map<uint16_t, AbsenceTimer>& from,
                              std::map<uint16_t, AbsenceTimer>& to, uint16_t pid) {
        const auto found = from.find(pid);
        to.emplace(pid, found != from.end() ? found->second : AbsenceTimer{now_, false});
    };
    roles_.fill(0);
    std::map<uint16_t, AbsenceTimer> pmt_timers, stream_timers;
    for (const auto& [programme, pmt_pid] : listed) {
        carry(pmt_timers_, pmt_timers, pmt_pid);
        roles_[pmt_pid] |= kPmtRole;
    }
    for (const auto& [number, programme] : programmes_)
        for (uint16_t pid : programme.stream_pids) {
            carry(stream_timers_, stream_timers, pid);
            roles_[pid] |= kStreamRole;
        }
    pmt_timers_ = std::move(pmt_timers);
    stream_timers_ = std::move(stream_timers);
    std::erase_if(partial_sections_, [this](const auto& entry) {
        return entry.first != ts::kPatPid && !(roles_[entry.first] & kPmtRole);
    });
}

std::string TsHealthMonitor::summary() const {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.3f", measured_rate() / 1e6);
    const TsHealthCounters& c = counters_;
    return "TR 101 290 priority 1: sync losses " + std::to_string(c.sync_losses) +
           ", sync byte errors " + std::to_string(c.sync_byte_errors) + ", PAT errors " +
           std::to_string(c.pat_errors) + ", CC errors " + std::to_string(c.cc_errors) +
           ", PMT errors " + std::to_string(c.pmt_errors) + ", PID errors " +
           std::to_string(c.pid_errors) + "; " + rate + " Mbit/s";
}

bool TsHealthMonitor::changed_since(const TsHealthCounters& previous) const {
    const TsHealthCounters& c = counters_;
    return c.sync_losses != previous.sync_losses ||
           c.sync_byte_errors != previous.sync_byte_errors || c.pat_errors != previous.pat_errors ||
           c.cc_errors != previous.cc_errors || c.pmt_errors != previous.pmt_errors ||
           c.pid_errors != previous.pid_errors;
}

}  // namespace terramod
