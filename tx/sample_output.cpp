#include "tx/sample_output.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "common/stop_signals.h"
#include "io/sigmf.h"
#include "io/standard_output_sink.h"
#include "tx/channel_setup.h"
#include "tx/recording_metadata.h"

namespace terramod {

namespace {

constexpr OutputFormatDescription kOutputFormats[] = {
    {"DAC stream dumping selected - Standard format\n", SampleEncoding::kFloatPairs, 1},
    {"DAC stream dumping selected - Agilent format\n", SampleEncoding::kAgilentWords, 1},
    {"DAC stream dumping selected - HP format ** NOT SUPPORTED ***\n", SampleEncoding::kNone, 1},
    {"DAC stream dumping selected - Interpolated by two format\n", SampleEncoding::kFloatPairs, 2},
    {"DAC stream dumping selected - Interpolated by four format\n", SampleEncoding::kFloatPairs, 4},
};

constexpr const char* kTimeDomainWord = "TimeDom";
constexpr const char* kAgilentWord = "DAC";

}  // namespace

const OutputFormatDescription& output_format(DacFormat format) {
    return kOutputFormats[format];
}

SampleOutput::SampleOutput(Log& log, const TxConfig& config, const std::string& base_name,
                           size_t samples_per_cycle, double sample_rate, double useful_bit_rate,
                           SampleDestination destination, double lp_useful_bit_rate)
    : log_(log),
      config_(config),
      selected_(config.dump[kDumpPostIfft]),
      format_(output_format(config.dac_format)),
      sample_type_(config.sample_type.value_or(kCf32)),
      base_name_(base_name),
      sample_rate_(sample_rate * format_.interpolation_factor),
      useful_bit_rate_(useful_bit_rate),
      lp_useful_bit_rate_(lp_useful_bit_rate),
      samples_per_cycle_(samples_per_cycle),
      clock_(static_cast<int64_t>(samples_per_cycle), sample_rate_),
      word_(format_.encoding == SampleEncoding::kAgilentWords ? kAgilentWord : kTimeDomainWord),
      agilent_converter_(compute_agilent_scale(config.mode)) {
    // --realtime paces the samples as a device would take them, sample
    // file or not.
    if (config.realtime && destination != SampleDestination::kDevice)
        pacer_ =
            std::make_unique<RealTimePacer>(sample_rate_, kRealTimeLead, stop_wake_descriptor());
    if (!selected_) return;
    // The clock offset applies to what is written, last: its outputs per
    // cycle may be a few more than the chain's.
    size_t capacity = samples_per_cycle;
    if (format_.encoding != SampleEncoding::kNone) {
        resampler_ = clock_offset_resampler(
            config, sample_rate, carrier_count[config.mode] * sample_rate / fft_size[config.mode]);
        if (resampler_) {
            resampler_->reserve(samples_per_cycle);
            capacity = std::max(capacity, resampler_->max_outputs(samples_per_cycle));
        }
    }
    switch (format_.encoding) {
        case SampleEncoding::kFloatPairs:
            destination_ = destination;
            if (destination == SampleDestination::kStandardOutput)
                sinks_.push_back(
                    std::make_unique<StandardOutputSink>(STDOUT_FILENO, stop_wake_descriptor()));
            else if (destination == SampleDestination::kFile)
                sinks_.push_back(std::make_unique<OutputFile>(base_name + ".bin"));
            // BB IF is interpolated at zero IF and moved up afterwards (which
            // keeps the power): the filter's gain is the zero-IF one.
            nominal_rms_ = nominal_rms(
                config.mode, format_.interpolation_factor > 1 ? kZeroIf : config.frequency_mapping,
                format_.interpolation_factor);
            encoder_.emplace(sample_type_,
                             sample_scale(sample_type_, config.backoff_db, nominal_rms_), capacity);
            break;
        case SampleEncoding::kAgilentWords:
            sinks_.push_back(std::make_unique<OutputFile>(base_name + "_I.bin"));
            sinks_.push_back(std::make_unique<OutputFile>(base_name + "_Q.bin"));
            dac_i_buffer_.resize(capacity);
            dac_q_buffer_.resize(capacity);
            break;
        case SampleEncoding::kNone:
            break;
    }
}

std::vector<std::string> SampleOutput::file_names() const {
    std::vector<std::string> names;
    for (const auto& file : sinks_) names.push_back(file->name());
    if (!names.empty() && format_.encoding == SampleEncoding::kFloatPairs && config_.write_sigmf &&
        destination_ == SampleDestination::kFile)
        names.push_back(sigmf_name());
    return names;
}

std::string SampleOutput::sigmf_name() const {
    return base_name_ + ".sigmf-meta";
}

// In a device run the samples go to the device: the announcement says so
// instead of naming a dump.
static std::string announcement_for(const OutputFormatDescription& format,
                                    SampleDestination destination) {
    std::string text = format.announcement;
    constexpr std::string_view kDumping = "DAC stream dumping selected";
    if (destination == SampleDestination::kDevice && text.starts_with(kDumping))
        text.replace(0, kDumping.size(), "Transmitting through the SDR device");
    return text;
}

bool SampleOutput::open() {
    if (!selected_) return true;
    log_.write(LogLevel::kProgress, "%s", announcement_for(format_, destination_).c_str());
    for (const auto& file : sinks_) {
        if (!file->open() && file->in_use()) {
            log_.fatal("output file \"%s\" is in use by another run\n", file->name().c_str());
            return false;
        }
        if (!file->is_open()) {
            log_.write(LogLevel::kErrors, "WARNING: Can't open \"%s\" -> skipping ...\n",
                       file->name().c_str());
            had_failure_ = true;
        }
    }
    if (format_.encoding != SampleEncoding::kFloatPairs) return true;
    if (integer_samples()) {
        log_.write(LogLevel::kProgress,
                   "Sample type %s: scale %.6f x the float samples, nominal RMS %.6f at %.1f dB "
                   "below full scale\n",
                   encoder_->type().name, encoder_->scale(), nominal_rms_, config_.backoff_db);
    }
    if (config_.write_sigmf && destination_ == SampleDestination::kFile) write_sigmf();
    return true;
}

// Each sink watches, says and totals its own events (a file has none).
void SampleOutput::poll_device() {
    for (const auto& sink : sinks_) sink->poll_events();
}

bool SampleOutput::device_lost_samples() const {
    return std::any_of(sinks_.begin(), sinks_.end(),
                       [](const auto& sink) { return sink->lost_samples(); });
}

void SampleOutput::report_device_totals() {
    for (const auto& sink : sinks_) sink->report_totals();
}

void SampleOutput::write_sigmf() {
    RecordingFacts facts;
    facts.datatype = encoder_->type().sigmf_datatype;
    facts.sample_rate = sample_rate_;
    facts.sample_file = sinks_[0]->name();
    facts.interpolation = format_.interpolation_factor;
    facts.useful_bit_rate = useful_bit_rate_;
    facts.lp_useful_bit_rate = lp_useful_bit_rate_;
    facts.datetime_ns = clock_.first_sample_time_ns();
    facts.megaframe_period_ns = megaframe_period_ns_;
    facts.first_megaframe_sample = first_megaframe_sample_;
    facts.later_captures = later_captures_;
    if (integer_samples()) facts.integer_scale = IntegerScale{encoder_->scale(), nominal_rms_};
    const std::string name = sigmf_name();
    if (!write_sigmf_file(name, describe_recording(config_, facts))) {
        log_.write(LogLevel::kErrors, "WARNING: Can't write \"%s\"\n", name.c_str());
        had_failure_ = true;
    }
}

void SampleOutput::attach_device(std::unique_ptr<SampleSink> device) {
    sinks_.clear();
    sinks_.push_back(std::move(device));
}

void SampleOutput::report_clipping() {
    if (!integer_samples() || sinks_.empty()) return;
    const int64_t clipped = encoder_->samples_clipped();
    const int64_t written = encoder_->samples_encoded();
    const double share = written > 0 ? 100.0 * clipped / written : 0.0;
    log_.write(LogLevel::kProgress, "Clipped samples: %" PRId64 " of %" PRId64 " (%.4f%%)\n",
               clipped, written, share);
    if (clipped > 0) {
        log_.write(LogLevel::kWarnings,
                   "WARNING: %" PRId64 " samples clipped at full scale: raise --backoff\n",
                   clipped);
    }
}

void SampleOutput::set_time_base(std::optional<int64_t> first_sample_time_ns) {
    clock_ =
        CycleClock(static_cast<int64_t>(samples_per_cycle_), sample_rate_, first_sample_time_ns);
}

CycleTime SampleOutput::output_time(uint64_t index) const {
    return CycleClock(1, sample_rate_, clock_.first_sample_time_ns())
        .at(static_cast<int64_t>(index));
}

void SampleOutput::write(std::span<const ComplexSample> samples, const CycleTime& time) {
    if (resampler_) {
        // --clock-offset (never with --sfn's gate): the outputs, paced and
        // timed by their own count.
        const CycleTime output = output_time(resampler_->outputs());
        const std::span<const ComplexSample> resampled = resampler_->push(samples);
        if (pacer_) pacer_->wait_until_due(output.first_sample);
        if (!sinks_.empty()) write_block(resampled, output);
        return;
    }
    if (pacer_) pacer_->wait_until_due(time.first_sample);
    if (sinks_.empty()) return;
    if (gate_ && gate_megaframe_samples_ > 0)
        write_gated(samples, time.first_sample);
    else
        write_block(samples, time);
}

void SampleOutput::write_gated(std::span<const ComplexSample> samples, int64_t first_sample) {
    size_t at = 0;
    while (at < samples.size() && !stopped_by_gate_) {
        const int64_t index = first_sample + static_cast<int64_t>(at);
        const int64_t within = index % gate_megaframe_samples_;
        CycleTime time{index, std::nullopt};
        if (within == 0) {
            SampleSink* sink = device();
            gate_decision_ = gate_->decide(index / gate_megaframe_samples_,
                                           sink ? sink->hardware_time_ns() : std::nullopt);
            if (gate_decision_.fate == MegaframeFate::kStop) {
                stopped_by_gate_ = true;
                break;
            }
            // Each mega-frame sent starts a timed burst at its emission time.
            if (gate_decision_.fate != MegaframeFate::kLate)
                time.transmit_time_ns = gate_decision_.emission_ns;
            if (gate_decision_.fate != MegaframeFate::kLate && gate_decision_.starts_burst &&
                index > 0)
                later_captures_.push_back(
                    {index, gate_decision_.emission_ns, index / gate_megaframe_samples_});
        }
        const size_t count =
            std::min(samples.size() - at, static_cast<size_t>(gate_megaframe_samples_ - within));
        switch (gate_decision_.fate) {
            case MegaframeFate::kSend:
                write_block(samples.subspan(at, count), time);
                break;
            case MegaframeFate::kMute:
                if (silence_.size() < count) silence_.assign(count, ComplexSample{});
                write_block(std::span<const ComplexSample>(silence_).first(count), time);
                break;
            case MegaframeFate::kLate:
            case MegaframeFate::kStop:
                break;
        }
        at += count;
    }
}

void SampleOutput::write_block(std::span<const ComplexSample> samples, const CycleTime& time) {
    switch (format_.encoding) {
        case SampleEncoding::kFloatPairs: {
            SampleSink& file = *sinks_[0];
            if (!file.is_open()) return;
            log_.write(LogLevel::kStages, "Dumping %" PRId64 " samples to %s file ...",
                       static_cast<int64_t>(samples.size()), word_);
            const std::span<const uint8_t> bytes = encoder_->encode(samples);
            // A stop signal that ended a wait for the reader is no failure.
            if (!file.write_samples(bytes, time) && !file.interrupted()) {
                had_failure_ = true;
                // The device has said why; a gap on the air ends the run.
                if (destination_ == SampleDestination::kDevice)
                    device_failed_ = true;
                else
                    log_.write(LogLevel::kErrors, "WARNING: Couldn't write to %s file\n", word_);
            }
            log_.write(LogLevel::kStages, " done.\n");
            break;
        }
        case SampleEncoding::kAgilentWords:
            write_agilent(samples, time);
            break;
        case SampleEncoding::kNone:
            break;
    }
}

// The Agilent pair is written only when both files are open, so the I and Q
// words always stay paired.
void SampleOutput::write_agilent(std::span<const ComplexSample> samples, const CycleTime& time) {
    SampleSink& i_file = *sinks_[0];
    SampleSink& q_file = *sinks_[1];
    if (!i_file.is_open() || !q_file.is_open()) return;
    agilent_converter_.convert_agilent(samples, dac_i_buffer_, dac_q_buffer_);
    const size_t count = std::min(samples.size(), dac_i_buffer_.size());
    log_.write(LogLevel::kStages, "Dumping %" PRId64 " samples to DAC files ...",
               static_cast<int64_t>(count));
    for (const std::vector<uint16_t>* words : {&dac_i_buffer_, &dac_q_buffer_}) {
        SampleSink& file = words == &dac_i_buffer_ ? i_file : q_file;
        const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(words->data()),
                                             count * sizeof(uint16_t)};
        if (!file.write_samples(bytes, time)) {
            had_failure_ = true;
            log_.write(LogLevel::kErrors, "WARNING: Couldn't write to DAC file\n");
        }
    }
    log_.write(LogLevel::kStages, " done.\n");
}

std::optional<std::string> SampleOutput::set_device_gain(double gain_db) {
    if (SampleSink* sink = device()) return sink->set_gain(gain_db);
    return "the output is no SDR device";
}

std::optional<std::string> SampleOutput::set_device_frequency(double frequency_hz) {
    if (SampleSink* sink = device()) return sink->set_frequency(frequency_hz);
    return "the output is no SDR device";
}

std::optional<std::pair<double, double>> SampleOutput::device_gain_range() const {
    if (const SampleSink* sink = device()) return sink->gain_range();
    return std::nullopt;
}

std::vector<std::pair<double, double>> SampleOutput::device_frequency_ranges() const {
    if (const SampleSink* sink = device()) return sink->frequency_ranges();
    return {};
}

std::optional<std::string> SampleOutput::set_backoff(double backoff_db) {
    if (!integer_samples()) return "the backoff applies to integer sample types (cs16, cs8) only";
    encoder_->set_scale(sample_scale(sample_type_, backoff_db, nominal_rms_));
    return std::nullopt;
}

void SampleOutput::write_last_samples() {
    if (!resampler_ || sinks_.empty() || device_failed_ || reader_gone()) return;
    const CycleTime output = output_time(resampler_->outputs());
    const std::span<const ComplexSample> rest = resampler_->flush();
    if (!rest.empty()) write_block(rest, output);
}

void SampleOutput::close_first() {
    write_last_samples();
    if (!sinks_.empty()) close_file(*sinks_.front());
    // A time that jumped (--sfn) is a capture of its own.
    if (!later_captures_.empty() && config_.write_sigmf &&
        destination_ == SampleDestination::kFile && format_.encoding == SampleEncoding::kFloatPairs)
        write_sigmf();
}

void SampleOutput::close_rest() {
    for (size_t i = 1; i < sinks_.size(); ++i) close_file(*sinks_[i]);
}

// Closing flushes what stdio still buffers: a failure there is a failed write.
void SampleOutput::close_file(SampleSink& file) {
    const bool was_open = file.is_open();
    if (!file.close() && was_open) {
        had_failure_ = true;
        log_.write(LogLevel::kErrors, "WARNING: Couldn't write to %s file\n", word_);
    }
}

}  // namespace terramod
