#include "tx/sample_output.h"

#include <algorithm>
#include <cinttypes>

#include "io/standard_output_sink.h"

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

SampleOutput::SampleOutput(Log& log, bool selected, DacFormat format, OfdmMode mode,
                           const std::string& base_name, size_t samples_per_cycle,
                           bool to_standard_output)
    : log_(log),
      selected_(selected),
      format_(output_format(format)),
      word_(format_.encoding == SampleEncoding::kAgilentWords ? kAgilentWord : kTimeDomainWord),
      agilent_converter_(compute_agilent_scale(mode)) {
    if (!selected_) return;
    switch (format_.encoding) {
        case SampleEncoding::kFloatPairs:
            if (to_standard_output)
                files_.push_back(std::make_unique<StandardOutputSink>());
            else
                files_.push_back(std::make_unique<OutputFile>(base_name + ".bin"));
            break;
        case SampleEncoding::kAgilentWords:
            files_.push_back(std::make_unique<OutputFile>(base_name + "_I.bin"));
            files_.push_back(std::make_unique<OutputFile>(base_name + "_Q.bin"));
            dac_i_buffer_.resize(samples_per_cycle);
            dac_q_buffer_.resize(samples_per_cycle);
            break;
        case SampleEncoding::kNone:
            break;
    }
}

std::vector<std::string> SampleOutput::file_names() const {
    std::vector<std::string> names;
    for (const auto& file : files_) names.push_back(file->name());
    return names;
}

void SampleOutput::open() {
    if (!selected_) return;
    log_.write(2, "%s", format_.announcement);
    for (const auto& file : files_) {
        if (!file->open()) {
            log_.write(0, "WARNING: Can't open \"%s\" -> skipping ...\n", file->name().c_str());
            had_failure_ = true;
        }
    }
}

void SampleOutput::write(std::span<const ComplexSample> samples) {
    if (files_.empty()) return;
    switch (format_.encoding) {
        case SampleEncoding::kFloatPairs: {
            SampleSink& file = *files_[0];
            if (!file.is_open()) return;
            log_.write(3, "Dumping %" PRId64 " samples to %s file ...",
                       static_cast<int64_t>(samples.size()), word_);
            const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(samples.data()),
                                                 samples.size_bytes()};
            if (!file.write_samples(bytes)) {
                had_failure_ = true;
                log_.write(0, "WARNING: Couldn't write to %s file\n", word_);
            }
            log_.write(3, " done.\n");
            break;
        }
        case SampleEncoding::kAgilentWords:
            write_agilent(samples);
            break;
        case SampleEncoding::kNone:
            break;
    }
}

// The Agilent pair is written only when both files are open, so the I and Q
// words always stay paired.
void SampleOutput::write_agilent(std::span<const ComplexSample> samples) {
    SampleSink& i_file = *files_[0];
    SampleSink& q_file = *files_[1];
    if (!i_file.is_open() || !q_file.is_open()) return;
    agilent_converter_.convert_agilent(samples, dac_i_buffer_, dac_q_buffer_);
    const size_t count = std::min(samples.size(), dac_i_buffer_.size());
    log_.write(3, "Dumping %" PRId64 " samples to DAC files ...", static_cast<int64_t>(count));
    for (const std::vector<uint16_t>* words : {&dac_i_buffer_, &dac_q_buffer_}) {
        SampleSink& file = words == &dac_i_buffer_ ? i_file : q_file;
        const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(words->data()),
                                             count * sizeof(uint16_t)};
        if (!file.write_samples(bytes)) {
            had_failure_ = true;
            log_.write(0, "WARNING: Couldn't write to DAC file\n");
        }
    }
    log_.write(3, " done.\n");
}

void SampleOutput::close_first() {
    if (!files_.empty()) close_file(*files_.front());
}

void SampleOutput::close_rest() {
    for (size_t i = 1; i < files_.size(); ++i) close_file(*files_[i]);
}

// Closing flushes what stdio still buffers: a failure there is a failed write.
void SampleOutput::close_file(SampleSink& file) {
    const bool was_open = file.is_open();
    if (!file.close() && was_open) {
        had_failure_ = true;
        log_.write(0, "WARNING: Couldn't write to %s file\n", word_);
    }
}

}  // namespace terramod
