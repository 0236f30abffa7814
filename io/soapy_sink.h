// Transmits the output samples through a SoapySDR device (HackRF, PlutoSDR, LimeSDR, USRP,
// bladeRF ...). Built only when SoapySDR is found (TERRAMOD_HAVE_SOAPYSDR).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/log.h"
#include "io/sample_sink.h"

namespace SoapySDR {
class Device;
class Stream;
}  // namespace SoapySDR

namespace terramod {

// How the device's hardware clock is set before the stream starts (the time
// base of timed bursts, UTC ns since 1970).
enum class DeviceClockSetting {
    kNone,         // left as it is
    kSystemClock,  // to the system clock, read just before it is set
    kFixed,        // to fixed_time_ns, at once
    kNextPps,      // to the next whole second of the system clock, at the PPS pulse
};

struct SoapySinkSettings {
    std::string device_args;             // "driver=hackrf", "driver=lime,serial=..."
    size_t channel = 0;                  // transmit channel
    double frequency_hz = 0;             // centre frequency
    std::optional<double> gain_db;       // nothing: the device's minimum gain
    std::optional<std::string> antenna;  // nothing: the device's default antenna
    double sample_rate = 0;              // must be met exactly by the device
    std::string stream_format = "CF32";  // a sample type's device_format (io/sample_types.h)
    // A device that takes no sample for this long is taken to be gone (a write fails).
    std::chrono::milliseconds stall_limit{5000};
    // Underflows and late bursts are warned of at most once in this time.
    std::chrono::milliseconds warning_interval{1000};
    // The stream is activated once this many samples are ready (0: at
    // set-up), so that the device does not start with an empty buffer.
    size_t prime_samples = 0;
    // The 10 MHz reference ("internal", "external", ... as the device lists
    // them); nothing: as the device is.
    std::optional<std::string> clock_source;
    DeviceClockSetting clock_setting = DeviceClockSetting::kNone;
    int64_t fixed_time_ns = 0;  // kFixed
};

class SoapySink : public SampleSink {
  public:
    // Opens the device, sets its clock source, rate, frequency, gain and antenna, sets the stream
    // up, sets the hardware clock (clock_setting: with kNextPps this waits for the pulse, 1 to 2
    // s) and activates the stream (or, with prime_samples, leaves that to the write that completes
    // them), then reports (level 2) what the device accepted. Returns null after a FATAL ERROR
    // message when the device cannot be used as asked; nothing has been sent then.
    static std::unique_ptr<SoapySink> open(const SoapySinkSettings& settings, Log& log);
    // Without close(): deactivates and releases the device without draining.
    ~SoapySink() override;
    SoapySink(const SoapySink&) = delete;
    SoapySink& operator=(const SoapySink&) = delete;

    // Writes every sample of `encoded` (whole I/Q pairs in the stream format). With a transmit
    // time, the device is told (SOAPY_SDR_HAS_TIME, timeNs in its hardware time) to send the first
    // of them then; while the stream is primed, the first primed write's time is the one passed.
    // After a failure the transmitted signal has a gap: the caller stops and closes.
    bool write_samples(std::span<const uint8_t> encoded, const CycleTime& time) override;
    // Opened by the factory above; open until close().
    bool open() override { return device_ != nullptr; }
    bool is_open() const override { return device_ != nullptr; }
    const std::string& name() const override { return settings_.device_args; }
    // Ends the burst, waits until the device has sent its buffered samples, deactivates and closes
    // the stream and releases the device.
    bool close() override;

    // Logs the totals of underflows and late bursts the device reported (a WARNING when any).
    void report_totals() override;
    // Reads the device's status events and warns of underflows as they come (at most once in
    // the warning interval).
    void poll_events() override;
    bool lost_samples() const override { return underflows_ + late_bursts_ + stream_errors_ > 0; }
    uint64_t underflows() const override { return underflows_; }
    uint64_t late_bursts() const override { return late_bursts_; }
    std::optional<std::string> set_gain(double gain_db) override;
    std::optional<std::string> set_frequency(double frequency_hz) override;
    std::optional<std::pair<double, double>> gain_range() const override;
    std::vector<std::pair<double, double>> frequency_ranges() const override;
    // The device's getHardwareTime(); nothing when it keeps none or can't be read.
    std::optional<int64_t> hardware_time_ns() override;

  private:
    using Clock = std::chrono::steady_clock;

    SoapySink(const SoapySinkSettings& settings, Log& log);
    bool set_up();
    bool set_clock_source();
    bool set_hardware_time();
    bool set_time_at_next_pps();
    bool set_sample_rate();
    bool set_frequency();
    bool set_gain();
    bool set_antenna();
    bool set_up_stream();
    bool activate_stream();
    // Activates the stream and sends the samples gathered for priming.
    bool start_primed();
    // Sends one write's samples, the last of them held back for the end of the burst.
    bool send_samples(std::span<const uint8_t> encoded, std::optional<long long> time_ns);
    void report_set_up();
    // With `time_ns`, the first element goes out at that time.
    bool write_elements(const uint8_t* data, size_t count, int flags,
                        std::optional<long long> time_ns = std::nullopt);
    bool send_elements(const uint8_t* data, size_t count, int flags,
                       std::optional<long long> time_ns);
    void poll_status(long timeout_us);
    void note_status(int code, int flags);
    void warn_events_now_and_then();
    void wait_for_drain();
    bool release();

    SoapySinkSettings settings_;
    Log& log_;
    SoapySDR::Device* device_ = nullptr;
    SoapySDR::Stream* stream_ = nullptr;
    bool active_ = false;
    bool failed_ = false;  // a write failed: close() only releases the device
    size_t element_size_ = 8;
    std::vector<uint8_t> priming_;              // samples gathered before the stream is activated
    std::optional<long long> priming_time_ns_;  // when the first of them is to go out
    // The last samples written are held back so that close() can send them with END_BURST.
    std::vector<uint8_t> held_back_;
    // When the first held-back sample is to go out: a timed write that was held back whole.
    std::optional<long long> held_back_time_ns_;
    bool status_supported_ = true;
    bool burst_acknowledged_ = false;
    uint64_t elements_sent_ = 0;
    std::optional<Clock::time_point> first_write_;
    uint64_t underflows_ = 0;
    uint64_t late_bursts_ = 0;
    uint64_t stream_errors_ = 0;
    uint64_t events_warned_ = 0;  // underflows + late bursts + errors already warned about
    std::optional<Clock::time_point> last_warning_;
};

}  // namespace terramod
