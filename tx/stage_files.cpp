#include "tx/stage_files.h"

#include <cinttypes>

namespace terramod {

namespace {

// Per dump letter e .. f: file name suffix, announcement and the word of the
// "Dumping" text and the write warning.
struct DumpDescription {
    const char* suffix;
    const char* announcement;
    const char* word;
};

constexpr std::array<DumpDescription, kDumpPostIfft> kDumpDescriptions = {{
    {"_ed.bin", "Energy disperder stream dumping selected\n", "EnDisp"},
    {"_rs.bin", "Reed-Solomon encoder stream dumping selected\n", "RS"},
    {"_ci.bin", "Convolutional interleaver stream dumping selected\n", "ConvInt"},
    {"_ve.bin", "Convolutional encoder stream dumping selected\n", "ConvEnco"},
    {"_pu.bin", "Puncturer stream dumping selected\n", "Punct"},
    {"_bi.bin", "Bit interleaver stream dumping selected\n", "BitInt"},
    {"_si.bin", "Symbol interleaver stream dumping selected\n", "SymbInt"},
    {"_ma.bin", "Mapper stream dumping selected\n", "Map"},
    {"_fd.bin", "Pre-IFFT stream dumping selected\n", "FreqDom"},
}};

// Announcements of the output file by DacFormat.
constexpr std::array<const char*, 5> kOutputAnnouncements = {
    "DAC stream dumping selected - Standard format\n",
    "DAC stream dumping selected - Agilent format\n",
    "DAC stream dumping selected - HP format ** NOT SUPPORTED ***\n",
    "DAC stream dumping selected - Interpolated by two format\n",
    "DAC stream dumping selected - Interpolated by four format\n",
};

constexpr const char* kTimeDomainWord = "TimeDom";
constexpr const char* kAgilentWord = "DAC";
constexpr const char* kDefaultBaseName = "dac_output";

}  // namespace

void StageBuffers::allocate(const BlockSizes& sizes, DacFormat format) {
    ts_buffer.assign(sizes.ts_bytes, 0);
    rs_buffer.assign(sizes.rs_bytes, 0);
    outer_interleaved_buffer.assign(sizes.rs_bytes, 0);
    coded_buffer.assign(sizes.coded_bit_count, 0);
    punctured_buffer.assign(sizes.punctured_bit_count, 0);
    bit_interleaved_buffer.assign(sizes.cell_count, 0);
    symbol_interleaved_buffer.assign(sizes.cell_count, 0);
    mapped_buffer.assign(sizes.cell_count, ComplexSample{0, 0});
    frame_buffer.assign(sizes.frame_cell_count, ComplexSample{0, 0});
    time_buffer.assign(sizes.sample_count, ComplexSample{0, 0});
    if (format == kFormatAgilent) {
        dac_i_buffer.assign(sizes.sample_count, 0);
        dac_q_buffer.assign(sizes.sample_count, 0);
    }
    if (format == kFormatInterpolated2x || format == kFormatInterpolated4x)
        interpolated_buffer.assign(output_sample_count(sizes, format), ComplexSample{0, 0});
}

std::string make_base_name(const std::optional<std::string>& output_path) {
    if (!output_path) return kDefaultBaseName;
    const std::string& path = *output_path;
    // Only the last path component is cut, so a "." in a folder name (as in
    // my.run/out) keeps the file in that folder.
    const size_t last_slash = path.rfind('/');
    const size_t component_start = last_slash == std::string::npos ? 0 : last_slash + 1;
    const size_t dot = path.find('.', component_start);
    return dot == std::string::npos ? path : path.substr(0, dot);
}

int64_t output_sample_count(const BlockSizes& sizes, DacFormat format) {
    switch (format) {
        case kFormatStandard:
        case kFormatAgilent:
            return sizes.sample_count;
        case kFormatInterpolated2x:
            return 2 * int64_t{sizes.sample_count};
        case kFormatInterpolated4x:
            return 4 * int64_t{sizes.sample_count};
        case kFormatHp:
            break;
    }
    return 0;
}

StageFiles::StageFiles(Log& log, const TxConfig& config, const BlockSizes& sizes)
    : log_(log), config_(config), sizes_(sizes), base_name_(make_base_name(config.output_path)) {
    for (int stage = 0; stage < kDumpPostIfft; ++stage) {
        dumps_[stage].name = base_name_ + kDumpDescriptions[stage].suffix;
        dumps_[stage].word = kDumpDescriptions[stage].word;
    }
    if (config_.dac_format == kFormatAgilent) {
        outputs_[kOutputMain].name = base_name_ + "_I.bin";
        outputs_[kOutputAgilentQ].name = base_name_ + "_Q.bin";
        outputs_[kOutputMain].word = outputs_[kOutputAgilentQ].word = kAgilentWord;
    } else {
        outputs_[kOutputMain].name = base_name_ + ".bin";
        outputs_[kOutputMain].word = kTimeDomainWord;
    }
}

// The output files of the format, in the slots from kOutputMain on: the
// Agilent I and Q pair, none for HP, else the single sample file.
int StageFiles::output_file_count() const {
    if (config_.dac_format == kFormatAgilent) return 2;
    return config_.dac_format == kFormatHp ? 0 : 1;
}

StageFiles::~StageFiles() {
    close_all();
}

std::vector<std::string> StageFiles::selected_file_names() const {
    std::vector<std::string> names;
    for (int stage = 0; stage < kDumpPostIfft; ++stage)
        if (config_.dump[stage]) names.push_back(dumps_[stage].name);
    if (config_.dump[kDumpPostIfft])
        for (int slot = 0; slot < output_file_count(); ++slot) names.push_back(outputs_[slot].name);
    return names;
}

bool StageFiles::open_stage_files(const FileIdentity& input,
                                  const std::optional<FileIdentity>& log) {
    // Creating a file truncates it: refuse, before touching any file, a name
    // that denotes the input (by any path or link) while it is being read, or
    // the log, whose text would otherwise be written into the samples.
    for (const std::string& name : selected_file_names()) {
        const std::optional<FileIdentity> identity = file_identity(name);
        if (identity == input) {
            log_.write(0, "FATAL ERROR: output file \"%s\" is the input file\n", name.c_str());
            return false;
        }
        if (identity && identity == log) {
            log_.write(0, "FATAL ERROR: output file \"%s\" is the log file\n", name.c_str());
            return false;
        }
    }

    const bool output_selected = config_.dump[kDumpPostIfft];
    if (!config_.output_path && output_selected)
        log_.write(2, "WARNING: no DAC stream file name given -> using %s.bin\n", kDefaultBaseName);

    for (int stage = 0; stage < kDumpPostIfft; ++stage) {
        if (!config_.dump[stage]) continue;
        log_.write(2, "%s", kDumpDescriptions[stage].announcement);
        open_file(dumps_[stage]);
    }

    if (output_selected) {
        log_.write(2, "%s", kOutputAnnouncements[config_.dac_format]);
        for (int slot = 0; slot < output_file_count(); ++slot) open_file(outputs_[slot]);
    }
    return true;
}

void StageFiles::open_file(StageFile& file) {
    file.handle = std::fopen(file.name.c_str(), "wb");
    if (!file.handle) {
        log_.write(0, "WARNING: Can't open \"%s\" -> skipping ...\n", file.name.c_str());
        had_failure_ = true;
    }
}

void StageFiles::dump_outer_stages(const StageBuffers& buffers) {
    write_file(dumps_[kDumpEnergyDispersal], buffers.ts_buffer.data(), 1, sizes_.ts_bytes);
    write_file(dumps_[kDumpReedSolomon], buffers.rs_buffer.data(), 1, sizes_.rs_bytes);
    write_file(dumps_[kDumpOuterInterleaver], buffers.outer_interleaved_buffer.data(), 1,
               sizes_.rs_bytes);
}

void StageFiles::dump_inner_stages(const StageBuffers& buffers) {
    constexpr size_t kSampleSize = sizeof(ComplexSample);
    write_file(dumps_[kDumpConvEncoder], buffers.coded_buffer.data(), 1, sizes_.coded_bit_count);
    write_file(dumps_[kDumpPuncturer], buffers.punctured_buffer.data(), 1,
               sizes_.punctured_bit_count);
    write_file(dumps_[kDumpBitInterleaver], buffers.bit_interleaved_buffer.data(), 1,
               sizes_.cell_count);
    write_file(dumps_[kDumpSymbolInterleaver], buffers.symbol_interleaved_buffer.data(), 1,
               sizes_.cell_count);
    write_file(dumps_[kDumpMapper], buffers.mapped_buffer.data(), kSampleSize, sizes_.cell_count);
    write_file(dumps_[kDumpPreIfft], buffers.frame_buffer.data(), kSampleSize,
               sizes_.frame_cell_count);

    switch (config_.dac_format) {
        case kFormatStandard:
            write_file(outputs_[kOutputMain], buffers.time_buffer.data(), kSampleSize,
                       sizes_.sample_count);
            break;
        case kFormatInterpolated2x:
        case kFormatInterpolated4x:
            write_file(outputs_[kOutputMain], buffers.interpolated_buffer.data(), kSampleSize,
                       output_sample_count(sizes_, config_.dac_format));
            break;
        case kFormatAgilent:
            write_agilent(buffers);
            break;
        case kFormatHp:
            break;
    }
}

void StageFiles::write_file(StageFile& file, const void* data, size_t element_size, int64_t count) {
    if (!file.handle) return;
    log_.write(3, "Dumping %" PRId64 " samples to %s file ...", count, file.word);
    if (!write_elements(file, data, element_size, count))
        log_.write(0, "WARNING: Couldn't write to %s file\n", file.word);
    log_.write(3, " done.\n");
}

bool StageFiles::write_elements(StageFile& file, const void* data, size_t element_size,
                                int64_t count) {
    const size_t written = std::fwrite(data, element_size, static_cast<size_t>(count), file.handle);
    if (written == static_cast<size_t>(count)) return true;
    had_failure_ = true;
    return false;
}

// The Agilent pair is written only when both files are open, so the I and Q
// words always stay paired.
void StageFiles::write_agilent(const StageBuffers& buffers) {
    StageFile& i_file = outputs_[kOutputMain];
    StageFile& q_file = outputs_[kOutputAgilentQ];
    if (!i_file.handle || !q_file.handle) return;
    const int64_t count = sizes_.sample_count;
    log_.write(3, "Dumping %" PRId64 " samples to DAC files ...", count);
    if (!write_elements(i_file, buffers.dac_i_buffer.data(), sizeof(uint16_t), count))
        log_.write(0, "WARNING: Couldn't write to DAC file\n");
    if (!write_elements(q_file, buffers.dac_q_buffer.data(), sizeof(uint16_t), count))
        log_.write(0, "WARNING: Couldn't write to DAC file\n");
    log_.write(3, " done.\n");
}

void StageFiles::close_all() {
    close_file(outputs_[kOutputMain]);
    for (StageFile& dump : dumps_) close_file(dump);
    close_file(outputs_[kOutputAgilentQ]);
}

// Closing flushes what stdio still buffers: a failure there is a failed write.
void StageFiles::close_file(StageFile& file) {
    if (!file.handle) return;
    const bool flushed = std::fclose(file.handle) == 0;
    file.handle = nullptr;
    if (!flushed) {
        had_failure_ = true;
        log_.write(0, "WARNING: Couldn't write to %s file\n", file.word);
    }
}

}  // namespace terramod
