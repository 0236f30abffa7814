// The transmitted signal (-d t): the chain's end samples, encoded in the
// output format, to their file(s). The sample rate (1x, 2x, 4x) is the
// chain's; the encoding (float I/Q pairs, Agilent words) and the
// destination are chosen here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/clock_offset_resampler.h"
#include "common/log.h"
#include "io/output_file.h"
#include "io/real_time_pacer.h"
#include "io/sample_sink.h"
#include "io/sample_types.h"
#include "io/sigmf.h"
#include "ofdm/dac_output.h"
#include "sfn/megaframe_schedule.h"
#include "tx/tx_types.h"

namespace terramod {

// How the samples of an output format are encoded.
enum class SampleEncoding {
    kNone,          // HP: accepted, nothing written
    kFloatPairs,    // I/Q pairs in the --sample-type (32-bit floats by default)
    kAgilentWords,  // two files of 16-bit offset words, I and Q
};

// Per DacFormat: the announcement, the encoding and the chain's
// interpolation factor.
struct OutputFormatDescription {
    const char* announcement;
    SampleEncoding encoding;
    int32_t interpolation_factor;
};
const OutputFormatDescription& output_format(DacFormat format);

// Where the encoded samples go.
enum class SampleDestination { kFile, kStandardOutput, kDevice };

// --sfn: what becomes of each mega-frame, asked when its first sample is to
// go out, with the device's clock then (nothing for a file).
class MegaframeGate {
  public:
    virtual ~MegaframeGate() = default;
    virtual MegaframeDecision decide(int64_t megaframe, std::optional<int64_t> device_time_ns) = 0;
};

class SampleOutput {
  public:
    // --realtime: how far the samples may run ahead of their time.
    static constexpr std::chrono::milliseconds kRealTimeLead{100};

    // Allocates what the encoding needs for `samples_per_cycle` samples;
    // throws std::bad_alloc. sample_rate: of the base rate, in Hz.
    // destination: a file (with its SigMF metadata), standard output or an
    // SDR device (one-file formats only); a device is attached after start-up.
    SampleOutput(Log& log, const TxConfig& config, const std::string& base_name,
                 size_t samples_per_cycle, double sample_rate, double useful_bit_rate,
                 SampleDestination destination = SampleDestination::kFile,
                 double lp_useful_bit_rate = 0);

    // The names of the files it writes, in opening order (none unless -d t).
    std::vector<std::string> file_names() const;
    // Announces the format and opens the file(s), then writes the SigMF
    // metadata; a file that cannot be created is a warning and is skipped for
    // the whole run. False, with the fatal message written, when another run
    // holds a file's lock.
    bool open();
    // A time base: the run's first sample is to leave the antenna at
    // `first_sample_time_ns` (UTC, ns since 1970, which a device's hardware
    // time is taken to follow). Set before open(): the SigMF capture records
    // it as core:datetime. Runs have none today.
    void set_time_base(std::optional<int64_t> first_sample_time_ns);
    // --sfn: the mega-frames' period and the output sample where the first
    // whole one starts, for the SigMF metadata. Set before open().
    void set_megaframes(double period_ns, int64_t first_sample) {
        megaframe_period_ns_ = period_ns;
        first_megaframe_sample_ = first_sample;
    }
    // --sfn: each mega-frame (`megaframe_samples` at the output rate, the
    // first starting at sample 0) goes out as `gate` decides: at its
    // emission time (a timed burst to a device), as silence, or not at all.
    void set_megaframe_gate(MegaframeGate* gate, int64_t megaframe_samples) {
        gate_ = gate;
        gate_megaframe_samples_ = megaframe_samples;
    }
    // True once the gate stopped the transmission.
    bool stopped_by_gate() const { return stopped_by_gate_; }
    // When the cycle counted from 0 is due (its first sample at the output
    // rate; its transmit time with a time base).
    CycleTime cycle_time(int64_t cycle_index) const { return clock_.at(cycle_index); }
    // Encodes and writes one cycle of the chain's output samples to every
    // sink, with the cycle's time. With a clock offset (--clock-offset) the
    // samples are resampled first, and the outputs counted and timed as the
    // resampler gives them.
    void write(std::span<const ComplexSample> samples, const CycleTime& time);

    // With a clock offset, at the end of the run: the resampler's last
    // outputs, those whose positions lie before the end of the input (none
    // once the output was lost; nothing without a clock offset).
    void write_last_samples();
    // The shutdown order keeps the one the log has always shown: the sample
    // file (or the Agilent I file) before the dumps, the Agilent Q file after.
    // The last samples are written first if they were not.
    void close_first();
    void close_rest();
    bool had_failure() const { return had_failure_; }
    // Sends the samples to the device (SampleDestination::kDevice), which is
    // already set up and streaming.
    void attach_device(std::unique_ptr<SampleSink> device);
    // True once the device failed to take a cycle's samples: stop the run.
    bool device_failed() const { return device_failed_; }
    // True once the reader of standard output went away: stop the run.
    bool reader_gone() const { return !sinks_.empty() && sinks_.front()->reader_gone(); }

    // The device's: its events watched between cycles (while the input
    // stalls), whether it lost samples on the air, its totals at the end.
    void poll_device();
    bool device_lost_samples() const;
    void report_device_totals();

    // For integer sample types: how many samples were clipped, at level 2,
    // and a warning when any was.
    void report_clipping();

    // While the run goes on, between cycles (the control interface): the
    // device's gain (dB) and centre frequency (Hz), and the backoff of an
    // integer sample type; an error message when the change cannot be made.
    std::optional<std::string> set_device_gain(double gain_db);
    std::optional<std::string> set_device_frequency(double frequency_hz);
    std::optional<std::pair<double, double>> device_gain_range() const;
    std::vector<std::pair<double, double>> device_frequency_ranges() const;
    std::optional<std::string> set_backoff(double backoff_db);
    bool integer_samples() const {
        return encoder_ && encoder_->type().scale_rule == SampleScale::kBelowFullScale;
    }
    // Figures for the metrics.
    int64_t samples_clipped() const { return encoder_ ? encoder_->samples_clipped() : 0; }
    uint64_t device_underflows() const { return device() ? device()->underflows() : 0; }
    uint64_t device_late_bursts() const { return device() ? device()->late_bursts() : 0; }

  private:
    SampleSink* device() const {
        return destination_ == SampleDestination::kDevice && !sinks_.empty() ? sinks_.front().get()
                                                                             : nullptr;
    }
    // One block of samples encoded and written to every sink.
    void write_block(std::span<const ComplexSample> samples, const CycleTime& time);
    // A cycle's samples cut at the mega-frame starts, each part as the gate
    // decided for its mega-frame.
    void write_gated(std::span<const ComplexSample> samples, int64_t first_sample);
    std::string sigmf_name() const;
    void write_sigmf();
    void write_agilent(std::span<const ComplexSample> samples, const CycleTime& time);
    // The time of output sample `index` with a clock offset.
    CycleTime output_time(uint64_t index) const;
    void close_file(SampleSink& file);

    Log& log_;
    const TxConfig& config_;
    bool selected_;
    SampleDestination destination_ = SampleDestination::kFile;
    bool device_failed_ = false;
    const OutputFormatDescription& format_;
    SampleType sample_type_;
    std::string base_name_;
    double sample_rate_;  // at the output, Hz
    double useful_bit_rate_;
    double lp_useful_bit_rate_;  // hierarchical transmission
    double nominal_rms_ = 0;
    std::optional<SampleEncoder> encoder_;             // the float-pair encoding's
    std::unique_ptr<ClockOffsetResampler> resampler_;  // --clock-offset
    size_t samples_per_cycle_;
    std::unique_ptr<RealTimePacer> pacer_;  // --realtime              // at the output rate
    CycleClock clock_;
    const char* word_;  // in the "Dumping" text and the write warning
    // Where the encoded samples go: the sample file (or the Agilent pair),
    // standard output or the device.
    std::vector<std::unique_ptr<SampleSink>> sinks_;
    AgilentConverter agilent_converter_;
    std::vector<uint16_t> dac_i_buffer_;
    std::vector<uint16_t> dac_q_buffer_;
    bool had_failure_ = false;
    MegaframeGate* gate_ = nullptr;
    int64_t gate_megaframe_samples_ = 0;
    MegaframeDecision gate_decision_;  // the current mega-frame's
    bool stopped_by_gate_ = false;
    std::vector<ComplexSample> silence_;
    // --sfn: the mega-frames whose time jumps, for the SigMF metadata
    // rewritten at the end.
    std::vector<SigmfCapture> later_captures_;
    std::optional<double> megaframe_period_ns_;
    std::optional<int64_t> first_megaframe_sample_;
};

}  // namespace terramod
