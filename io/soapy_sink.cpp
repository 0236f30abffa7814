#include "io/soapy_sink.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/utc_clock.h"
#include "io/sample_types.h"
#include "io/sigmf.h"

namespace terramod {

namespace {

// A rate within this relative distance of the one asked counts as exact: a device that reports
// whole hertz for 64/7 MHz is 0.016 ppm off, far inside any oscillator's tolerance, while any real
// divider or interpolator step is much larger.
constexpr double kRateTolerance = 1e-7;
// The last samples of each cycle are held back (at most this many) to end the burst with on close.
constexpr size_t kHeldBackElements = 1024;
constexpr long kWriteTimeoutUs = 100000;
// Waiting for the device's buffers on close: what is still in flight by the clock (at most
// kMaxDrainEstimate), plus kDrainMargin; a device that acknowledges the end of the burst ends the
// wait earlier.
constexpr double kMaxDrainEstimate = 3.0;
constexpr double kDrainMargin = 0.25;
constexpr long kDrainPollUs = 50000;
constexpr int kMaxStatusEventsPerPoll = 64;
// Setting the hardware time at the next PPS pulse: the time is armed while the system clock is
// this far past a whole second (ns), well clear of the pulses either side even with a system
// clock some 100 ms off; the sink then waits until kPpsSettle after the pulse, when the time has
// surely been taken. An arming that returns only after the pulse is tried again at the next one,
// kPpsAttempts times in all.
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kPpsArmFrom = 200000000;
constexpr int64_t kPpsArmUntil = 600000000;
constexpr int64_t kPpsSettle = 200000000;
constexpr int kPpsAttempts = 3;

// "9142857.142857", "474000000": six decimals at most, no trailing zeros.
std::string number_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string result(text);
    result.erase(result.find_last_not_of('0') + 1);
    if (!result.empty() && result.back() == '.') result.pop_back();
    return result;
}

std::string ranges_text(const SoapySDR::RangeList& ranges) {
    std::string text;
    for (const SoapySDR::Range& range : ranges) {
        if (!text.empty()) text += ", ";
        if (range.minimum() == range.maximum()) {
            text += number_text(range.minimum());
            continue;
        }
        text += number_text(range.minimum()) + " to " + number_text(range.maximum());
        if (range.step() > 0) text += " in steps of " + number_text(range.step());
    }
    return text.empty() ? "none" : text;
}

std::string names_text(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

bool same_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The name of `names` that is `wanted`, or else the one that is it but for case (as the device
// spells it).
std::optional<std::string> find_name(const std::vector<std::string>& names,
                                     const std::string& wanted) {
    if (std::find(names.begin(), names.end(), wanted) != names.end()) return wanted;
    for (const std::string& name : names) {
        if (same_ignoring_case(name, wanted)) return name;
    }
    return std::nullopt;
}

// Sleeps for as long as the system clock has to go to `utc_ns`.
void sleep_until_utc(int64_t utc_ns) {
    const int64_t left = utc_ns - utc_now_ns();
    if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

// Waits until the system clock is kPpsArmFrom to kPpsArmUntil past a whole second; returns that
// second (UTC ns).
int64_t wait_for_pps_arming_window() {
    for (;;) {
        const int64_t now = utc_now_ns();
        const int64_t into = (now % kNsPerSecond + kNsPerSecond) % kNsPerSecond;
        if (into >= kPpsArmFrom && into < kPpsArmUntil) return now - into;
        std::this_thread::sleep_for(std::chrono::nanoseconds(
            into < kPpsArmFrom ? kPpsArmFrom - into : kNsPerSecond + kPpsArmFrom - into));
    }
}

bool close_enough(double actual, double wanted) {
    return std::fabs(actual - wanted) <= kRateTolerance * std::fabs(wanted);
}

bool range_holds(const SoapySDR::Range& range, double value) {
    const double tolerance = kRateTolerance * std::fabs(value);
    if (value < range.minimum() - tolerance || value > range.maximum() + tolerance) return false;
    if (range.step() <= 0 || range.minimum() == range.maximum()) return true;
    const double steps = std::round((value - range.minimum()) / range.step());
    return close_enough(range.minimum() + steps * range.step(), value);
}

bool ranges_hold(const SoapySDR::RangeList& ranges, double value) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [value](const SoapySDR::Range& range) { return range_holds(range, value); });
}

double seconds_between(std::chrono::steady_clock::time_point from,
                       std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

SoapySink::SoapySink(const SoapySinkSettings& settings, Log& log)
    : settings_(settings), log_(log) {}

SoapySink::~SoapySink() {
    release();
}

std::unique_ptr<SoapySink> SoapySink::open(const SoapySinkSettings& settings, Log& log) {
    std::unique_ptr<SoapySink> sink(new SoapySink(settings, log));
    if (!sink->set_up()) return nullptr;  // the destructor releases what was opened
    try {
        sink->report_set_up();
    } catch (const std::exception& error) {
        log.fatal("the SDR device can't report its set-up: %s\n", error.what());
        return nullptr;
    }
    return sink;
}

bool SoapySink::set_up() {
    const std::string& format = settings_.stream_format;
    if (!is_device_stream_format(format)) {
        log_.fatal("SDR stream format \"%s\" is not %s\n", format.c_str(),
                   device_stream_format_names().c_str());
        return false;
    }
    element_size_ = SoapySDR::formatToSize(format);
    if (!(settings_.sample_rate > 0)) {
        log_.fatal("SDR sample rate %s is not positive\n",
                   number_text(settings_.sample_rate).c_str());
        return false;
    }
    try {
        device_ = SoapySDR::Device::make(settings_.device_args);
    } catch (const std::exception& error) {
        log_.fatal(
            "no SoapySDR device \"%s\" (%s); SoapySDRUtil --find lists the "
            "devices\n",
            settings_.device_args.c_str(), error.what());
        return false;
    }
    try {
        const size_t channels = device_->getNumChannels(SOAPY_SDR_TX);
        if (settings_.channel >= channels) {
            log_.fatal("the SDR device has no transmit channel %zu (it has %zu)\n",
                       settings_.channel, channels);
            return false;
        }
        return set_clock_source() && set_sample_rate() && set_frequency() && set_antenna() &&
               set_gain() && set_up_stream() && set_hardware_time() &&
               (settings_.prime_samples > 0 || activate_stream());
    } catch (const std::exception& error) {
        log_.fatal("the SDR device refused its set-up: %s\n", error.what());
        return false;
    }
}

// The reference first: the device's synthesisers lock to it.
bool SoapySink::set_clock_source() {
    if (!settings_.clock_source) return true;
    const std::vector<std::string> sources = device_->listClockSources();
    const std::optional<std::string> source = find_name(sources, *settings_.clock_source);
    if (!source) {
        log_.fatal("the SDR device has no clock source \"%s\" (its clock sources: %s)\n",
                   settings_.clock_source->c_str(), names_text(sources).c_str());
        return false;
    }
    device_->setClockSource(*source);
    log_.write(LogLevel::kProgress, "SDR clock source: %s\n", source->c_str());
    return true;
}

// Last before the stream starts, so that a time read from the system clock is as fresh as can be.
bool SoapySink::set_hardware_time() {
    const DeviceClockSetting setting = settings_.clock_setting;
    if (setting == DeviceClockSetting::kNone) return true;
    if (!device_->hasHardwareTime()) {
        log_.fatal("the SDR device %s (%s) keeps no hardware time: its clock can't be set\n",
                   device_->getDriverKey().c_str(), device_->getHardwareKey().c_str());
        return false;
    }
    switch (setting) {
        case DeviceClockSetting::kSystemClock: {
            const int64_t now = utc_now_ns();
            device_->setHardwareTime(now);
            log_.write(LogLevel::kProgress, "SDR hardware time set from the system clock: %s\n",
                       iso8601_utc(now).c_str());
            return true;
        }
        case DeviceClockSetting::kFixed:
            device_->setHardwareTime(settings_.fixed_time_ns);
            log_.write(LogLevel::kProgress, "SDR hardware time set: %s\n",
                       iso8601_utc(settings_.fixed_time_ns).c_str());
            return true;
        case DeviceClockSetting::kNextPps:
            return set_time_at_next_pps();
        case DeviceClockSetting::kNone:
            break;
    }
    return true;
}

// The device takes the time given at its next PPS pulse ("PPS", as SoapyUHD names that event):
// the whole second the system clock will read then. Once the pulse has passed, the clock is valid.
bool SoapySink::set_time_at_next_pps() {
    const std::vector<std::string> sources = device_->listTimeSources();
    const auto pps = std::find_if(sources.begin(), sources.end(), [](const std::string& name) {
        return same_ignoring_case(name, "pps");
    });
    if (pps == sources.end()) {
        log_.fatal("the SDR device has no PPS time source (its time sources: %s)\n",
                   names_text(sources).c_str());
        return false;
    }
    device_->setTimeSource(*pps);
    log_.write(LogLevel::kProgress, "SDR time source: %s\n", pps->c_str());
    for (int attempt = 1;; ++attempt) {
        const int64_t pulse = wait_for_pps_arming_window() + kNsPerSecond;
        device_->setHardwareTime(pulse, "PPS");
        if (utc_now_ns() < pulse) {
            sleep_until_utc(pulse + kPpsSettle);
            log_.write(LogLevel::kProgress, "SDR hardware time set at the PPS pulse: %s\n",
                       iso8601_utc(pulse).c_str());
            return true;
        }
        if (attempt == kPpsAttempts) {
            log_.fatal(
                "the SDR device took its time for the next PPS pulse only after the pulse, %d "
                "times in a row\n",
                kPpsAttempts);
            return false;
        }
    }
}

std::optional<int64_t> SoapySink::hardware_time_ns() {
    if (device_ == nullptr) return std::nullopt;
    try {
        if (!device_->hasHardwareTime()) return std::nullopt;
        return device_->getHardwareTime();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Transmitting at a rate other than the one the samples were made for would put a wrong signal on
// the air, so any doubt stops the run: before setting (the advertised ranges) and after (the rate
// the device says it took).
bool SoapySink::set_sample_rate() {
    const double rate = settings_.sample_rate;
    SoapySDR::RangeList ranges = device_->getSampleRateRange(SOAPY_SDR_TX, settings_.channel);
    if (ranges.empty()) {
        for (double listed : device_->listSampleRates(SOAPY_SDR_TX, settings_.channel)) {
            ranges.emplace_back(listed, listed);
        }
    }
    if (!ranges_hold(ranges, rate)) {
        log_.fatal(
            "the SDR device can't transmit at %s samples/s exactly (its rates: "
            "%s samples/s)\n",
            number_text(rate).c_str(), ranges_text(ranges).c_str());
        return false;
    }
    device_->setSampleRate(SOAPY_SDR_TX, settings_.channel, rate);
    const double actual = device_->getSampleRate(SOAPY_SDR_TX, settings_.channel);
    if (!close_enough(actual, rate)) {
        log_.fatal(
            "the SDR device set %s samples/s when asked for %s samples/s "
            "(its rates: %s samples/s)\n",
            number_text(actual).c_str(), number_text(rate).c_str(), ranges_text(ranges).c_str());
        return false;
    }
    return true;
}

bool SoapySink::set_frequency() {
    const SoapySDR::RangeList ranges = device_->getFrequencyRange(SOAPY_SDR_TX, settings_.channel);
    if (!ranges.empty() && !ranges_hold(ranges, settings_.frequency_hz)) {
        log_.fatal("the SDR device can't tune to %s Hz (its range: %s Hz)\n",
                   number_text(settings_.frequency_hz).c_str(), ranges_text(ranges).c_str());
        return false;
    }
    device_->setFrequency(SOAPY_SDR_TX, settings_.channel, settings_.frequency_hz);
    return true;
}

bool SoapySink::set_antenna() {
    if (!settings_.antenna) return true;
    const std::vector<std::string> antennas =
        device_->listAntennas(SOAPY_SDR_TX, settings_.channel);
    if (std::find(antennas.begin(), antennas.end(), *settings_.antenna) == antennas.end()) {
        log_.fatal("the SDR device has no antenna \"%s\" (its antennas: %s)\n",
                   settings_.antenna->c_str(), names_text(antennas).c_str());
        return false;
    }
    device_->setAntenna(SOAPY_SDR_TX, settings_.channel, *settings_.antenna);
    return true;
}

// Without a gain asked for, the device's minimum: nothing goes out at full power by accident.
bool SoapySink::set_gain() {
    const SoapySDR::Range range = device_->getGainRange(SOAPY_SDR_TX, settings_.channel);
    const double gain = settings_.gain_db.value_or(range.minimum());
    if (gain < range.minimum() || gain > range.maximum()) {
        log_.fatal("gain %s dB is outside the SDR device's range %s to %s dB\n",
                   number_text(gain).c_str(), number_text(range.minimum()).c_str(),
                   number_text(range.maximum()).c_str());
        return false;
    }
    device_->setGain(SOAPY_SDR_TX, settings_.channel, gain);
    return true;
}

// While streaming: the device's own checks may throw (a driver that
// refuses), which must not end the transmission.
std::optional<std::string> SoapySink::set_gain(double gain_db) {
    if (device_ == nullptr) return "the SDR device is closed";
    const std::optional<std::pair<double, double>> range = gain_range();
    if (range && (gain_db < range->first || gain_db > range->second))
        return "gain " + number_text(gain_db) + " dB is outside the SDR device's range " +
               number_text(range->first) + " to " + number_text(range->second) + " dB";
    try {
        device_->setGain(SOAPY_SDR_TX, settings_.channel, gain_db);
    } catch (const std::exception& error) {
        return std::string("the SDR device refused the gain: ") + error.what();
    }
    settings_.gain_db = gain_db;
    return std::nullopt;
}

std::optional<std::string> SoapySink::set_frequency(double frequency_hz) {
    if (device_ == nullptr) return "the SDR device is closed";
    const SoapySDR::RangeList ranges = device_->getFrequencyRange(SOAPY_SDR_TX, settings_.channel);
    if (!ranges.empty() && !ranges_hold(ranges, frequency_hz))
        return "the SDR device can't tune to " + number_text(frequency_hz) +
               " Hz (its range: " + ranges_text(ranges) + " Hz)";
    try {
        device_->setFrequency(SOAPY_SDR_TX, settings_.channel, frequency_hz);
    } catch (const std::exception& error) {
        return std::string("the SDR device refused the frequency: ") + error.what();
    }
    settings_.frequency_hz = frequency_hz;
    return std::nullopt;
}

std::vector<std::pair<double, double>> SoapySink::frequency_ranges() const {
    std::vector<std::pair<double, double>> ranges;
    if (device_ == nullptr) return ranges;
    for (const SoapySDR::Range& range : device_->getFrequencyRange(SOAPY_SDR_TX, settings_.channel))
        ranges.emplace_back(range.minimum(), range.maximum());
    return ranges;
}

std::optional<std::pair<double, double>> SoapySink::gain_range() const {
    if (device_ == nullptr) return std::nullopt;
    const SoapySDR::Range range = device_->getGainRange(SOAPY_SDR_TX, settings_.channel);
    return std::make_pair(range.minimum(), range.maximum());
}

bool SoapySink::set_up_stream() {
    const std::vector<std::string> formats =
        device_->getStreamFormats(SOAPY_SDR_TX, settings_.channel);
    const std::string& format = settings_.stream_format;
    if (!formats.empty() && std::find(formats.begin(), formats.end(), format) == formats.end()) {
        log_.fatal("the SDR device can't stream %s (its formats: %s)\n", format.c_str(),
                   names_text(formats).c_str());
        return false;
    }
    stream_ = device_->setupStream(SOAPY_SDR_TX, format, {settings_.channel});
    if (stream_ == nullptr) {
        log_.fatal("the SDR device gave no %s stream\n", format.c_str());
        return false;
    }
    return true;
}

bool SoapySink::activate_stream() {
    const int result = device_->activateStream(stream_);
    if (result != 0) {
        log_.fatal("the SDR stream can't be activated: %s\n", SoapySDR::errToStr(result));
        return false;
    }
    active_ = true;
    return true;
}

void SoapySink::report_set_up() {
    const size_t channel = settings_.channel;
    log_.write(LogLevel::kProgress, "SDR device: %s (%s), transmit channel %zu\n",
               device_->getDriverKey().c_str(), device_->getHardwareKey().c_str(), channel);
    log_.write(LogLevel::kProgress, "SDR sample rate: %s samples/s, stream format %s\n",
               number_text(device_->getSampleRate(SOAPY_SDR_TX, channel)).c_str(),
               settings_.stream_format.c_str());
    log_.write(LogLevel::kProgress, "SDR frequency: %s Hz\n",
               number_text(device_->getFrequency(SOAPY_SDR_TX, channel)).c_str());
    log_.write(LogLevel::kProgress, "SDR gain: %s dB\n",
               number_text(device_->getGain(SOAPY_SDR_TX, channel)).c_str());
    if (!device_->listAntennas(SOAPY_SDR_TX, channel).empty()) {
        log_.write(LogLevel::kProgress, "SDR antenna: %s\n",
                   device_->getAntenna(SOAPY_SDR_TX, channel).c_str());
    }
}

bool SoapySink::write_samples(std::span<const uint8_t> encoded, const CycleTime& time) {
    if (stream_ == nullptr || failed_) {
        log_.fatal("the SDR stream is not open\n");
        return false;
    }
    if (encoded.size() % element_size_ != 0) {
        log_.fatal("%zu bytes are not whole %s samples\n", encoded.size(),
                   settings_.stream_format.c_str());
        return false;
    }
    if (!active_) {
        if (priming_.empty()) priming_time_ns_ = time.transmit_time_ns;
        priming_.insert(priming_.end(), encoded.begin(), encoded.end());
        return priming_.size() / element_size_ < settings_.prime_samples || start_primed();
    }
    return send_samples(encoded, time.transmit_time_ns);
}

bool SoapySink::start_primed() {
    bool activated = false;
    try {
        activated = activate_stream();
    } catch (const std::exception& error) {
        log_.fatal("the SDR stream can't be activated: %s\n", error.what());
    }
    const std::vector<uint8_t> primed = std::move(priming_);
    priming_ = {};
    failed_ = !activated || !send_samples(primed, std::exchange(priming_time_ns_, std::nullopt));
    return !failed_;
}

bool SoapySink::send_samples(std::span<const uint8_t> encoded, std::optional<long long> time_ns) {
    const size_t count = encoded.size() / element_size_;
    if (count == 0) return true;
    if (!held_back_.empty()) {
        if (!write_elements(held_back_.data(), held_back_.size() / element_size_, 0,
                            std::exchange(held_back_time_ns_, std::nullopt))) {
            failed_ = true;
            return false;
        }
        held_back_.clear();
    }
    const size_t kept = std::min(count, kHeldBackElements);
    if (count > kept && !write_elements(encoded.data(), count - kept, 0, time_ns)) {
        failed_ = true;
        return false;
    }
    held_back_.assign(encoded.end() - kept * element_size_, encoded.end());
    // Held back whole: its time goes with it.
    if (count == kept) held_back_time_ns_ = time_ns;
    return true;
}

bool SoapySink::write_elements(const uint8_t* data, size_t count, int flags,
                               std::optional<long long> time_ns) {
    try {
        return send_elements(data, count, flags, time_ns);
    } catch (const std::exception& error) {
        log_.fatal("writing to the SDR device failed: %s\n", error.what());
        return false;
    }
}

// Writes `count` elements whatever the device takes per call. `flags` (END_BURST) goes with every
// call, since the device applies it once it has taken the call's last element; a time only with
// the call that starts with the first element.
bool SoapySink::send_elements(const uint8_t* data, size_t count, int flags,
                              std::optional<long long> time_ns) {
    size_t done = 0;
    Clock::time_point last_progress = Clock::now();
    while (done < count) {
        const void* buffers[1] = {data + done * element_size_};
        const bool timed = time_ns && done == 0;
        int call_flags = flags | (timed ? SOAPY_SDR_HAS_TIME : 0);
        const int result = device_->writeStream(stream_, buffers, count - done, call_flags,
                                                timed ? *time_ns : 0, kWriteTimeoutUs);
        const Clock::time_point now = Clock::now();
        if (result > 0) {
            if (!first_write_) first_write_ = now;
            done += static_cast<size_t>(result);
            elements_sent_ += static_cast<uint64_t>(result);
            last_progress = now;
        } else if (result == SOAPY_SDR_UNDERFLOW) {
            ++underflows_;
        } else if (result == SOAPY_SDR_TIME_ERROR) {
            ++late_bursts_;
        } else if (result != 0 && result != SOAPY_SDR_TIMEOUT) {
            log_.fatal("writing to the SDR device failed: %s\n", SoapySDR::errToStr(result));
            return false;
        }
        if (now - last_progress > settings_.stall_limit) {
            log_.fatal("the SDR device took no samples for %s s\n",
                       number_text(settings_.stall_limit.count() / 1000.0).c_str());
            return false;
        }
        poll_status(0);
        warn_events_now_and_then();
    }
    return true;
}

void SoapySink::poll_status(long timeout_us) {
    for (int event = 0; status_supported_ && event < kMaxStatusEventsPerPoll; ++event) {
        size_t channel_mask = 0;
        int flags = 0;
        long long time_ns = 0;
        const int result =
            device_->readStreamStatus(stream_, channel_mask, flags, time_ns, timeout_us);
        if (result == SOAPY_SDR_NOT_SUPPORTED) {
            status_supported_ = false;
        } else if (result == SOAPY_SDR_TIMEOUT) {
            return;
        } else {
            note_status(result, flags);
        }
        timeout_us = 0;  // only the first call waits
    }
}

void SoapySink::note_status(int code, int flags) {
    if (code == SOAPY_SDR_UNDERFLOW) {
        ++underflows_;
    } else if (code == SOAPY_SDR_TIME_ERROR) {
        ++late_bursts_;
    } else if (code != 0) {
        ++stream_errors_;
    } else if (flags & SOAPY_SDR_END_BURST) {
        burst_acknowledged_ = true;
    }
}

void SoapySink::warn_events_now_and_then() {
    const uint64_t events = underflows_ + late_bursts_ + stream_errors_;
    if (events == events_warned_) return;
    const Clock::time_point now = Clock::now();
    if (last_warning_ && now - *last_warning_ < settings_.warning_interval) return;
    if (stream_errors_ == 0) {
        log_.write(LogLevel::kErrors, "WARNING: SDR underflows: %llu, late bursts: %llu so far\n",
                   static_cast<unsigned long long>(underflows_),
                   static_cast<unsigned long long>(late_bursts_));
    } else {
        log_.write(LogLevel::kErrors,
                   "WARNING: SDR underflows: %llu, late bursts: %llu, stream errors: %llu so far\n",
                   static_cast<unsigned long long>(underflows_),
                   static_cast<unsigned long long>(late_bursts_),
                   static_cast<unsigned long long>(stream_errors_));
    }
    events_warned_ = events;
    last_warning_ = now;
}

void SoapySink::poll_events() {
    if (!active_ || failed_) return;
    try {
        poll_status(0);
    } catch (const std::exception&) {
        // The next write reports a device that fails.
    }
    warn_events_now_and_then();
}

void SoapySink::report_totals() {
    const bool any = underflows_ + late_bursts_ + stream_errors_ > 0;
    log_.write(any ? LogLevel::kErrors : LogLevel::kProgress,
               "%sSDR underflows: %llu, late bursts: %llu, stream errors: %llu\n",
               any ? "WARNING: " : "", static_cast<unsigned long long>(underflows_),
               static_cast<unsigned long long>(late_bursts_),
               static_cast<unsigned long long>(stream_errors_));
}

bool SoapySink::close() {
    if (device_ == nullptr) return true;
    // After a failed write (reported then) the device is only released: draining a device that
    // took no samples would wait for it once more.
    if (failed_) return release();
    bool ok = true;
    if (!active_ && !priming_.empty()) ok = start_primed();
    if (ok && active_ && !held_back_.empty()) {
        ok = write_elements(held_back_.data(), held_back_.size() / element_size_,
                            SOAPY_SDR_END_BURST, std::exchange(held_back_time_ns_, std::nullopt));
        held_back_.clear();
        if (ok) {
            try {
                wait_for_drain();
                warn_events_now_and_then();
            } catch (const std::exception& error) {
                log_.write(LogLevel::kErrors,
                           "WARNING: waiting for the SDR device to drain failed: %s\n",
                           error.what());
                ok = false;
            }
        }
    }
    return release() && ok;
}

// Deactivating drops what the device still holds, so first wait until it has sent it: until the
// device acknowledges the end of the burst, or, for devices that do not, until the samples still
// in flight by the clock must have gone out.
void SoapySink::wait_for_drain() {
    const Clock::time_point now = Clock::now();
    const double sent_seconds = static_cast<double>(elements_sent_) / settings_.sample_rate;
    const double in_flight = sent_seconds - seconds_between(*first_write_, now);
    const double wait = std::clamp(in_flight, 0.0, kMaxDrainEstimate) + kDrainMargin;
    const Clock::time_point deadline =
        now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
    for (Clock::time_point time = now; !burst_acknowledged_ && time < deadline;
         time = Clock::now()) {
        const long left_us = static_cast<long>(seconds_between(time, deadline) * 1e6) + 1;
        if (status_supported_) {
            poll_status(std::min(left_us, kDrainPollUs));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(std::min(left_us, kDrainPollUs)));
        }
    }
}

// Each step is tried whatever happened to the one before, so the device is always released.
bool SoapySink::release() {
    bool ok = true;
    auto attempt = [&](const char* what, auto&& step) {
        try {
            step();
        } catch (const std::exception& error) {
            log_.write(LogLevel::kErrors, "WARNING: %s the SDR device failed: %s\n", what,
                       error.what());
            ok = false;
        }
    };
    if (active_) {
        active_ = false;
        attempt("deactivating the stream of", [&] {
            const int result = device_->deactivateStream(stream_);
            if (result != 0) throw std::runtime_error(SoapySDR::errToStr(result));
        });
    }
    if (stream_ != nullptr) {
        SoapySDR::Stream* stream = std::exchange(stream_, nullptr);
        attempt("closing the stream of", [&] { device_->closeStream(stream); });
    }
    if (device_ != nullptr) {
        SoapySDR::Device* device = std::exchange(device_, nullptr);
        attempt("releasing", [&] { SoapySDR::Device::unmake(device); });
    }
    return ok;
}

}  // namespace terramod
