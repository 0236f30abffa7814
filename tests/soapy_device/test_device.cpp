// "terramod_test": a SoapySDR device module that behaves as a one-channel transmitter, for tests
// with no SDR attached. SoapySDR loads it from SOAPY_SDR_PLUGIN_PATH.
//
// Device arguments:
//   record=PATH      the samples the device sends, in the stream format, appended to PATH
//                    (created empty when the device is opened)
//   times=PATH       for each writeStream call with SOAPY_SDR_HAS_TIME that takes samples, a line
//                    "<index of its first sample> <timeNs>" appended to PATH (created empty when
//                    the device is opened); a late burst's line ends in " late"
//   settings=PATH    for each gain or frequency set, a line "<samples received so far>
//                    gain|frequency <value>", for each clock or time source set "<samples
//                    received so far> clock_source|time_source <name>", for each hardware time set
//                    "<samples received so far> hardware_time <ns> PPS|now" (now: at once),
//                    appended to PATH (created empty when the device is opened)
//   pace=1|0         send at the sample rate (default) or as fast as samples come
//   speed=N          paced, take N times the sample rate (default 1), for runs that play
//                    minutes of transmission in seconds; the reported rate stays the one set
//   rates=LIST       sample rates it can do: '/'-separated "min:max[:step]" ranges or single
//                    values (default 1e6:20e6)
//   clock=HZ         the rate it really sets is clock / round(clock / asked)
//   buffer=N         samples it buffers before writeStream waits (default 1048576)
//   mtu=N            most samples it takes per writeStream call (default 4096)
//   underflow_at=N   reports an underflow once N samples have been sent
//   late_at=N        reports a late burst once N samples have been sent
//   stall_at=N       stops sending once N samples have been sent (a hung device)
//   report=status    how underflows and late bursts are reported: readStreamStatus (default,
//          write     which also acknowledges the end of a burst), the return of the next
//          none      writeStream call (which then takes nothing), or not at all
//   ack=0            readStreamStatus does not acknowledge the end of a burst
//   start=activate   a paced burst starts when the stream is activated (after a latency of
//                    100 ms), as many DACs do, so a host that activates before its samples are
//                    ready underflows at once
//   time_sources=LIST  the time sources it lists, '/'-separated (default none/pps)
//   hardware_time=0  it keeps no hardware time (hasHardwareTime() false, the time calls throw)
// Clock sources "internal" (the one at start) and "external"; time sources as listed, the first
// at start.
// The hardware clock (ns) is deterministic: the time last set (0 at start) plus the samples sent
// since, at the sample rate set; unpaced, a sample counts as sent once taken, so the clock runs
// exactly with the samples written. setHardwareTime(t) or (t, "") applies t at once; (t, "PPS")
// applies it as if the pulse came now (there is no pulse), only while the time source is the
// PPS one, and throws otherwise. A timed burst (writeStream with SOAPY_SDR_HAS_TIME) is due at the
// sample its time rounds to on that clock, the samples taken before it going out first. Due after
// them, the device idles until then: its clock jumps to the burst's time (at once, with no real
// wait). Due before them, the burst is late: reported (SOAPY_SDR_TIME_ERROR) as report= says, and
// its samples are sent all the same, right after the ones before.
// A real underflow (the buffer ran empty while sending at pace) is reported too. A paced burst
// starts once the buffer is half full (or holds the burst's end, or after 50 ms). Deactivating the
// stream drops what the buffer still holds, as a real device does.

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Modules.hpp>
#include <SoapySDR/Registry.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* kDriver = "terramod_test";
const std::vector<std::string> kAntennas = {"TX/RX", "TX2"};
const std::vector<std::string> kClockSources = {"internal", "external"};
const SoapySDR::Range kGainRange(0, 60, 1);
const SoapySDR::Range kFrequencyRange(1e6, 6e9);
constexpr std::chrono::milliseconds kStartDelay{50};
constexpr std::chrono::milliseconds kActivationLatency{100};

std::string argument(const SoapySDR::Kwargs& args, const std::string& key,
                     const std::string& fallback) {
    const auto found = args.find(key);
    return found == args.end() ? fallback : found->second;
}

// "1e6:20e6/30e6" -> [1e6, 20e6], [30e6, 30e6]
SoapySDR::RangeList parse_rates(const std::string& text) {
    SoapySDR::RangeList ranges;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, '/')) {
        std::vector<double> bounds;
        std::stringstream parts(item);
        std::string part;
        while (std::getline(parts, part, ':')) bounds.push_back(std::stod(part));
        if (bounds.size() == 1) ranges.emplace_back(bounds[0], bounds[0]);
        if (bounds.size() == 2) ranges.emplace_back(bounds[0], bounds[1]);
        if (bounds.size() == 3) ranges.emplace_back(bounds[0], bounds[1], bounds[2]);
    }
    return ranges;
}

// "none/pps" -> {"none", "pps"}
std::vector<std::string> parse_names(const std::string& text) {
    std::vector<std::string> names;
    std::stringstream list(text);
    for (std::string name; std::getline(list, name, '/');) names.push_back(name);
    return names;
}

std::string lower_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

struct StatusEvent {
    int code;
    int flags;
};

// The device's sample buffer: a ring of bytes.
class ByteRing {
  public:
    void reset(size_t capacity) {
        bytes_.assign(capacity, 0);
        head_ = 0;
        size_ = 0;
    }
    size_t size() const { return size_; }
    size_t room() const { return bytes_.size() - size_; }
    void clear() { size_ = 0; }
    void push(const uint8_t* data, size_t count) {
        const size_t tail = (head_ + size_) % bytes_.size();
        const size_t first = std::min(count, bytes_.size() - tail);
        std::memcpy(bytes_.data() + tail, data, first);
        std::memcpy(bytes_.data(), data + first, count - first);
        size_ += count;
    }
    void pop(uint8_t* out, size_t count) {
        const size_t first = std::min(count, bytes_.size() - head_);
        std::memcpy(out, bytes_.data() + head_, first);
        std::memcpy(out + first, bytes_.data(), count - first);
        head_ = (head_ + count) % bytes_.size();
        size_ -= count;
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
    size_t size_ = 0;
};

class TestDevice : public SoapySDR::Device {
  public:
    explicit TestDevice(const SoapySDR::Kwargs& args)
        : record_path_(argument(args, "record", "")),
          paced_(argument(args, "pace", "1") != "0"),
          speed_(std::stod(argument(args, "speed", "1"))),
          rates_(parse_rates(argument(args, "rates", "1e6:20e6"))),
          clock_(std::stod(argument(args, "clock", "0"))),
          buffer_capacity_(std::stoul(argument(args, "buffer", "1048576"))),
          mtu_(std::stoul(argument(args, "mtu", "4096"))),
          underflow_at_(std::stoull(argument(args, "underflow_at", "0"))),
          late_at_(std::stoull(argument(args, "late_at", "0"))),
          stall_at_(std::stoull(argument(args, "stall_at", "0"))),
          report_(argument(args, "report", "status")),
          acknowledges_(argument(args, "ack", "1") != "0"),
          starts_at_activation_(argument(args, "start", "") == "activate"),
          times_path_(argument(args, "times", "")),
          settings_path_(argument(args, "settings", "")),
          time_sources_(parse_names(argument(args, "time_sources", "none/pps"))),
          keeps_time_(argument(args, "hardware_time", "1") != "0") {
        if (time_sources_.empty()) throw std::invalid_argument("time_sources lists none");
        time_source_ = time_sources_.front();
        if (!(speed_ > 0)) throw std::invalid_argument("speed must be above 0");
        if (report_ != "status" && report_ != "write" && report_ != "none") {
            throw std::invalid_argument("report=" + report_ + " is not status, write or none");
        }
        if (!record_path_.empty()) {
            record_ = std::fopen(record_path_.c_str(), "wb");
            if (record_ == nullptr) throw std::runtime_error("can't create " + record_path_);
        }
        if (!times_path_.empty()) {
            times_ = std::fopen(times_path_.c_str(), "w");
            if (times_ == nullptr) throw std::runtime_error("can't create " + times_path_);
        }
        if (!settings_path_.empty()) {
            settings_ = std::fopen(settings_path_.c_str(), "w");
            if (settings_ == nullptr) throw std::runtime_error("can't create " + settings_path_);
        }
    }

    ~TestDevice() override {
        stop_sending();
        if (record_ != nullptr) std::fclose(record_);
        if (times_ != nullptr) std::fclose(times_);
        if (settings_ != nullptr) std::fclose(settings_);
    }

    std::string getDriverKey() const override { return kDriver; }
    std::string getHardwareKey() const override { return "terramod test transmitter"; }

    size_t getNumChannels(const int direction) const override {
        return direction == SOAPY_SDR_TX ? 1 : 0;
    }

    std::vector<std::string> listAntennas(const int, const size_t) const override {
        return kAntennas;
    }
    void setAntenna(const int, const size_t, const std::string& name) override {
        if (std::find(kAntennas.begin(), kAntennas.end(), name) == kAntennas.end()) {
            throw std::invalid_argument("no antenna " + name);
        }
        antenna_ = name;
    }
    std::string getAntenna(const int, const size_t) const override { return antenna_; }

    std::vector<std::string> listGains(const int, const size_t) const override { return {"PA"}; }
    SoapySDR::Range getGainRange(const int, const size_t) const override { return kGainRange; }
    SoapySDR::Range getGainRange(const int, const size_t, const std::string&) const override {
        return kGainRange;
    }
    void setGain(const int, const size_t, const double value) override {
        if (value < kGainRange.minimum() || value > kGainRange.maximum()) {
            throw std::out_of_range("gain out of range");
        }
        gain_ = value;
        note_setting("gain", value);
    }
    void setGain(const int direction, const size_t channel, const std::string&,
                 const double value) override {
        setGain(direction, channel, value);
    }
    double getGain(const int, const size_t) const override { return gain_; }
    double getGain(const int, const size_t, const std::string&) const override { return gain_; }

    SoapySDR::RangeList getFrequencyRange(const int, const size_t) const override {
        return {kFrequencyRange};
    }
    void setFrequency(const int, const size_t, const double frequency,
                      const SoapySDR::Kwargs&) override {
        if (frequency < kFrequencyRange.minimum() || frequency > kFrequencyRange.maximum()) {
            throw std::out_of_range("frequency out of range");
        }
        frequency_ = frequency;
        note_setting("frequency", frequency);
    }
    double getFrequency(const int, const size_t) const override { return frequency_; }

    SoapySDR::RangeList getSampleRateRange(const int, const size_t) const override {
        return rates_;
    }
    std::vector<double> listSampleRates(const int, const size_t) const override {
        std::vector<double> listed;
        for (const auto& range : rates_) listed.push_back(range.minimum());
        return listed;
    }
    void setSampleRate(const int, const size_t, const double rate) override {
        const bool held = std::any_of(rates_.begin(), rates_.end(), [rate](const auto& range) {
            return rate >= range.minimum() && rate <= range.maximum();
        });
        if (!held) throw std::out_of_range("sample rate out of range");
        std::lock_guard lock(mutex_);
        rate_ = clock_ > 0 ? clock_ / std::round(clock_ / rate) : rate;
    }
    double getSampleRate(const int, const size_t) const override { return rate_; }

    std::vector<std::string> getStreamFormats(const int, const size_t) const override {
        return {SOAPY_SDR_CF32, SOAPY_SDR_CS16};
    }
    std::string getNativeStreamFormat(const int, const size_t, double& full_scale) const override {
        full_scale = 32767;
        return SOAPY_SDR_CS16;
    }

    std::vector<std::string> listClockSources() const override { return kClockSources; }
    void setClockSource(const std::string& source) override {
        if (!listed(kClockSources, source))
            throw std::invalid_argument("no clock source " + source);
        std::lock_guard lock(mutex_);
        clock_source_ = source;
        note_setting_locked("clock_source", source);
    }
    std::string getClockSource() const override {
        std::lock_guard lock(mutex_);
        return clock_source_;
    }

    std::vector<std::string> listTimeSources() const override { return time_sources_; }
    void setTimeSource(const std::string& source) override {
        if (!listed(time_sources_, source)) throw std::invalid_argument("no time source " + source);
        std::lock_guard lock(mutex_);
        time_source_ = source;
        note_setting_locked("time_source", source);
    }
    std::string getTimeSource() const override {
        std::lock_guard lock(mutex_);
        return time_source_;
    }

    bool hasHardwareTime(const std::string& what) const override {
        return keeps_time_ && (what.empty() || what == "PPS");
    }
    long long getHardwareTime(const std::string& what) const override {
        if (!keeps_time_ || !what.empty()) throw std::runtime_error("no hardware time " + what);
        std::lock_guard lock(mutex_);
        return time_at(clock_position());
    }
    void setHardwareTime(const long long time_ns, const std::string& what) override {
        if (!keeps_time_) throw std::runtime_error("no hardware time");
        if (!what.empty() && what != "PPS") throw std::invalid_argument("no time event " + what);
        std::lock_guard lock(mutex_);
        if (what == "PPS" && lower_case(time_source_) != "pps") {
            throw std::runtime_error("no PPS: the time source is " + time_source_);
        }
        anchors_.assign(1, TimeAnchor{clock_position(), time_ns});
        note_setting_locked("hardware_time",
                            std::to_string(time_ns) + " " + (what.empty() ? "now" : what));
    }

    SoapySDR::Stream* setupStream(const int direction, const std::string& format,
                                  const std::vector<size_t>& channels,
                                  const SoapySDR::Kwargs&) override {
        if (direction != SOAPY_SDR_TX) throw std::runtime_error("transmit only");
        if (format != SOAPY_SDR_CF32 && format != SOAPY_SDR_CS16) {
            throw std::runtime_error("format " + format + " not supported");
        }
        if (channels.size() > 1 || (channels.size() == 1 && channels[0] != 0)) {
            throw std::runtime_error("channel 0 only");
        }
        if (stream_set_up_) throw std::runtime_error("stream already set up");
        stream_set_up_ = true;
        element_size_ = SoapySDR::formatToSize(format);
        buffer_.reset(buffer_capacity_ * element_size_);
        return stream_handle();
    }
    void closeStream(SoapySDR::Stream* stream) override {
        if (stream != stream_handle()) throw std::runtime_error("unknown stream");
        stop_sending();
        stream_set_up_ = false;
    }
    size_t getStreamMTU(SoapySDR::Stream*) const override { return mtu_; }

    int activateStream(SoapySDR::Stream* stream, const int, const long long,
                       const size_t) override {
        if (stream != stream_handle() || !stream_set_up_) return SOAPY_SDR_STREAM_ERROR;
        std::lock_guard lock(mutex_);
        if (active_) return 0;
        active_ = true;
        if (starts_at_activation_ && paced_) {
            in_burst_ = true;
            burst_start_ = Clock::now() + kActivationLatency;
            burst_sent_ = 0;
        }
        sender_ = std::thread([this] { send_loop(); });
        return 0;
    }
    int deactivateStream(SoapySDR::Stream* stream, const int, const long long) override {
        if (stream != stream_handle()) return SOAPY_SDR_STREAM_ERROR;
        stop_sending();
        return 0;
    }

    int writeStream(SoapySDR::Stream* stream, const void* const* buffers, const size_t count,
                    int& flags, const long long time_ns, const long timeout_us) override {
        if (stream != stream_handle()) return SOAPY_SDR_STREAM_ERROR;
        std::unique_lock lock(mutex_);
        if (!active_) return SOAPY_SDR_STREAM_ERROR;
        if (report_ == "write" && !events_.empty()) {
            const int code = events_.front().code;
            events_.pop_front();
            return code;
        }
        if (buffer_.room() < element_size_) host_waited_ = true;
        if (count > 0 && !space_.wait_for(lock, std::chrono::microseconds(timeout_us), [&] {
                return !active_ || buffer_.room() >= element_size_;
            })) {
            return SOAPY_SDR_TIMEOUT;
        }
        if (!active_) return SOAPY_SDR_STREAM_ERROR;
        const size_t taken = std::min({count, buffer_.room() / element_size_, mtu_});
        if (buffer_.size() == 0 && !in_burst_) first_waiting_ = Clock::now();
        if ((flags & SOAPY_SDR_HAS_TIME) && taken > 0) {
            const bool late = keeps_time_ && !place_burst(time_ns);
            if (late) post(SOAPY_SDR_TIME_ERROR, 0);
            if (times_ != nullptr) {
                std::fprintf(times_, "%llu %lld%s\n", static_cast<unsigned long long>(received_),
                             time_ns, late ? " late" : "");
                std::fflush(times_);
            }
        }
        buffer_.push(static_cast<const uint8_t*>(buffers[0]), taken * element_size_);
        received_ += taken;
        // The burst ends with the call's last element, so only once the whole call is taken.
        if ((flags & SOAPY_SDR_END_BURST) && taken == count) burst_end_at_ = received_;
        flags = 0;
        samples_.notify_all();
        return static_cast<int>(taken);
    }

    int readStreamStatus(SoapySDR::Stream* stream, size_t& channel_mask, int& flags,
                         long long& time_ns, const long timeout_us) override {
        if (stream != stream_handle()) return SOAPY_SDR_STREAM_ERROR;
        if (report_ != "status") return SOAPY_SDR_NOT_SUPPORTED;
        std::unique_lock lock(mutex_);
        if (!status_.wait_for(lock, std::chrono::microseconds(timeout_us),
                              [&] { return !events_.empty(); })) {
            return SOAPY_SDR_TIMEOUT;
        }
        const StatusEvent event = events_.front();
        events_.pop_front();
        channel_mask = 1;
        flags = event.flags;
        time_ns = 0;
        return event.code;
    }

  private:
    using Clock = std::chrono::steady_clock;

    SoapySDR::Stream* stream_handle() { return reinterpret_cast<SoapySDR::Stream*>(this); }

    void stop_sending() {
        {
            std::lock_guard lock(mutex_);
            if (!active_) return;
            active_ = false;
            buffer_.clear();  // what was not sent yet is lost
            sent_ = received_;
            burst_end_at_ = 0;
            in_burst_ = false;
        }
        space_.notify_all();
        samples_.notify_all();
        sender_.join();
    }

    void post(int code, int flags) {
        if (report_ == "none" || (code == 0 && (report_ == "write" || !acknowledges_))) return;
        events_.push_back({code, flags});
        status_.notify_all();
    }

    // How many buffered samples may go out now: all of them, or at pace what the clock allows
    // since the burst began.
    size_t due_now(Clock::time_point now) {
        const size_t buffered = buffer_.size() / element_size_;
        if (!paced_) return buffered;
        const double elapsed =
            std::max(0.0, std::chrono::duration<double>(now - burst_start_).count());
        const auto allowed = static_cast<uint64_t>(elapsed * paced_rate());
        const uint64_t due = allowed > burst_sent_ ? allowed - burst_sent_ : 0;
        const bool host_waited = std::exchange(host_waited_, false);
        if (due > buffered && burst_end_at_ <= sent_) {
            if (host_waited) {
                // The host was waiting for room: this thread woke late (a loaded machine), which a
                // real DAC never does. The burst's clock restarts from what has gone out.
                const double sent_seconds =
                    static_cast<double>(burst_sent_ + buffered) / paced_rate();
                burst_start_ = now - std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(sent_seconds));
            } else {
                // The buffer ran dry in the middle of a burst.
                post(SOAPY_SDR_UNDERFLOW, 0);
                in_burst_ = false;
            }
        }
        return static_cast<size_t>(std::min<uint64_t>(due, buffered));
    }

    // Samples a second at pace: the rate set, times speed=.
    double paced_rate() const { return rate_ * speed_; }

    void note_setting(const char* name, double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        std::lock_guard lock(mutex_);
        note_setting_locked(name, text);
    }
    void note_setting_locked(const char* name, const std::string& value) {
        if (settings_ == nullptr) return;
        std::fprintf(settings_, "%llu %s %s\n", static_cast<unsigned long long>(received_), name,
                     value.c_str());
        std::fflush(settings_);
    }

    // Where the hardware clock stands: at the samples sent, or unpaced at those taken.
    uint64_t clock_position() const { return paced_ ? sent_ : received_; }

    // The hardware time at which the sample counted `sample` from the device's opening goes out
    // (or went out).
    long long time_at(uint64_t sample) const {
        const auto anchor =
            std::find_if(anchors_.rbegin(), anchors_.rend(),
                         [sample](const TimeAnchor& a) { return a.sample <= sample; });
        const TimeAnchor& from = anchor == anchors_.rend() ? anchors_.front() : *anchor;
        const long double samples =
            static_cast<long double>(sample) - static_cast<long double>(from.sample);
        return from.time_ns + std::llround(samples * 1e9L / rate_);
    }

    // A timed burst whose first sample is the next one taken: true when it is not late (due at
    // that sample, or later: then the device idles until its time).
    bool place_burst(long long time_ns) {
        const TimeAnchor& last = anchors_.back();  // at or before the next sample taken
        const long double due = static_cast<long double>(last.sample) +
                                std::round((static_cast<long double>(time_ns) -
                                            static_cast<long double>(last.time_ns)) *
                                           rate_ / 1e9L);
        const auto next = static_cast<long double>(received_);
        if (due < next) return false;
        if (due > next) anchors_.push_back(TimeAnchor{received_, time_ns});
        return true;
    }

    // Anchors that the clock has passed are kept no longer.
    void forget_passed_anchors() {
        while (anchors_.size() > 1 && anchors_[1].sample <= clock_position()) anchors_.pop_front();
    }

    bool stalled() const { return stall_at_ > 0 && sent_ >= stall_at_; }
    bool has_sendable() const { return buffer_.size() > 0 && !stalled(); }

    // Like a DAC's FIFO, a paced burst starts once the buffer is half full, the burst's end is in
    // it, or samples have waited for kStartDelay; a host that is late for a moment at the very
    // start is then no underflow.
    bool ready_to_start(Clock::time_point now) const {
        if (buffer_.size() == 0) return false;
        return !paced_ || buffer_.size() * 2 >= buffer_capacity_ * element_size_ ||
               burst_end_at_ > sent_ || now - first_waiting_ >= kStartDelay;
    }

    void send_loop() {
        std::vector<uint8_t> outgoing;
        std::unique_lock lock(mutex_);
        while (active_) {
            samples_.wait_for(lock, std::chrono::milliseconds(1),
                              [&] { return !active_ || (!paced_ && has_sendable()); });
            if (!active_) break;
            if (stalled()) continue;  // hung: nothing goes out, nothing is reported
            const Clock::time_point now = Clock::now();
            if (!in_burst_) {
                if (!ready_to_start(now)) continue;
                in_burst_ = true;
                burst_start_ = now;
                burst_sent_ = 0;
            }
            size_t count = due_now(now);
            if (burst_end_at_ > sent_) count = std::min<uint64_t>(count, burst_end_at_ - sent_);
            if (stall_at_ > 0) count = std::min<uint64_t>(count, stall_at_ - sent_);
            if (count == 0) continue;
            outgoing.resize(count * element_size_);
            buffer_.pop(outgoing.data(), outgoing.size());
            note_sent(count);
            space_.notify_all();
            lock.unlock();
            const bool written =
                record_ == nullptr ||
                std::fwrite(outgoing.data(), 1, outgoing.size(), record_) == outgoing.size();
            lock.lock();
            if (!written) post(SOAPY_SDR_STREAM_ERROR, 0);
        }
        if (record_ != nullptr) std::fflush(record_);
    }

    void note_sent(size_t count) {
        const uint64_t before = sent_;
        sent_ += count;
        forget_passed_anchors();
        burst_sent_ += count;
        if (underflow_at_ > before && underflow_at_ <= sent_) post(SOAPY_SDR_UNDERFLOW, 0);
        if (late_at_ > before && late_at_ <= sent_) post(SOAPY_SDR_TIME_ERROR, 0);
        if (burst_end_at_ > before && burst_end_at_ <= sent_) {
            post(0, SOAPY_SDR_END_BURST);  // the burst has gone out
            in_burst_ = false;
        }
    }

    const std::string record_path_;
    const bool paced_;
    const double speed_;
    const SoapySDR::RangeList rates_;
    const double clock_;
    const size_t buffer_capacity_;
    const size_t mtu_;
    const uint64_t underflow_at_;
    const uint64_t late_at_;
    const uint64_t stall_at_;
    const std::string report_;
    const bool acknowledges_;
    const bool starts_at_activation_;
    const std::string times_path_;
    std::FILE* record_ = nullptr;
    std::FILE* times_ = nullptr;
    const std::string settings_path_;
    std::FILE* settings_ = nullptr;

    std::string antenna_ = kAntennas[0];
    double gain_ = 30;  // not the minimum: the host has to set what it wants
    double frequency_ = 100e6;
    double rate_ = 1e6;
    bool stream_set_up_ = false;
    size_t element_size_ = 8;

    const std::vector<std::string> time_sources_;
    const bool keeps_time_;
    std::string clock_source_ = kClockSources[0];
    std::string time_source_;
    // The hardware clock: at sample `sample` (counted from the device's opening) it reads
    // time_ns, and runs on from there at the sample rate. Later anchors are the idle gaps before
    // timed bursts still to be sent.
    struct TimeAnchor {
        uint64_t sample;
        long long time_ns;
    };
    std::deque<TimeAnchor> anchors_{TimeAnchor{0, 0}};

    mutable std::mutex mutex_;
    std::condition_variable space_;
    std::condition_variable samples_;
    std::condition_variable status_;
    std::thread sender_;
    bool active_ = false;
    ByteRing buffer_;
    uint64_t received_ = 0;      // samples taken by writeStream since the device was opened
    uint64_t sent_ = 0;          // samples sent (recorded) or dropped
    uint64_t burst_end_at_ = 0;  // received_ count at which the current burst ends, if above sent_
    bool in_burst_ = false;
    bool host_waited_ = false;  // writeStream found the buffer full since the sender last woke
    Clock::time_point first_waiting_;  // when the first sample waiting for a burst came
    Clock::time_point burst_start_;
    uint64_t burst_sent_ = 0;
    std::deque<StatusEvent> events_;
};

// SoapySDR keeps one device per enumeration result and hands it out again to a make() whose
// result is the same, ignoring the new arguments; echoing them makes each set its own device.
SoapySDR::KwargsList find_test_device(const SoapySDR::Kwargs& args) {
    if (args.count("driver") != 0 && args.at("driver") != kDriver) return {};
    SoapySDR::Kwargs device = args;
    device["label"] = "terramod test transmitter";
    return {device};
}

SoapySDR::Device* make_test_device(const SoapySDR::Kwargs& args) {
    return new TestDevice(args);
}

const SoapySDR::ModuleVersion module_version("1.0.0");
const SoapySDR::Registry registration(kDriver, &find_test_device, &make_test_device,
                                      SOAPY_SDR_ABI_VERSION);

}  // namespace
