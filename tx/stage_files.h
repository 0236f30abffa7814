// The stage buffers of one cycle, and the files they are written to: the nine
// dump files (-d e r c v p b s m f) and the output sample file(s) (-d t, in the
// format of -F). Every file is a raw little-endian image of the buffers,
// cycle after cycle, without a header.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tx/input.h"
#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

// Every buffer of the chain, owned by the driver, allocated once zero-filled.
// The last three exist only for their output format.
struct StageBuffers {
    std::vector<uint8_t> ts_buffer;
    std::vector<uint8_t> rs_buffer;
    std::vector<uint8_t> outer_interleaved_buffer;
    std::vector<uint8_t> coded_buffer;
    std::vector<uint8_t> punctured_buffer;
    std::vector<uint8_t> bit_interleaved_buffer;
    std::vector<uint8_t> symbol_interleaved_buffer;
    std::vector<ComplexSample> mapped_buffer;
    std::vector<ComplexSample> frame_buffer;
    std::vector<ComplexSample> time_buffer;
    std::vector<uint16_t> dac_i_buffer;
    std::vector<uint16_t> dac_q_buffer;
    std::vector<ComplexSample> interpolated_buffer;

    // Allocates every buffer in the chain's order; throws std::bad_alloc.
    void allocate(const BlockSizes& sizes, DacFormat format);
};

// The base of every file name: the output path up to the first "." of its
// last component, or "dac_output" without -o.
std::string make_base_name(const std::optional<std::string>& output_path);

// Output sample elements per cycle for the format (0 for HP).
int64_t output_sample_count(const BlockSizes& sizes, DacFormat format);

class StageFiles {
  public:
    StageFiles(Log& log, const TxConfig& config, const BlockSizes& sizes);
    ~StageFiles();
    StageFiles(const StageFiles&) = delete;
    StageFiles& operator=(const StageFiles&) = delete;

    // The names of every selected dump and output file, in opening order.
    std::vector<std::string> selected_file_names() const;

    // Opens the selected files. Returns false, having opened nothing, when one
    // of them is the input file itself or the open log file (the fatal message
    // is written). A file that cannot be created is a warning, and is skipped
    // for the whole run.
    bool open_stage_files(const FileIdentity& input,
                          const std::optional<FileIdentity>& log = std::nullopt);

    // Dumps e, r and c; called right after outer interleaving.
    void dump_outer_stages(const StageBuffers& buffers);
    // Dumps v, p, b, s, m, f, then the output file(s); called at the end of
    // the chain.
    void dump_inner_stages(const StageBuffers& buffers);

    // Closes every open file in the shutdown order (the output file or the
    // Agilent I file, the dumps, the Agilent Q file).
    void close_all();

    // True when a selected file could not be created or a write to it failed.
    bool had_failure() const { return had_failure_; }

  private:
    // One file of the run: absent unless selected and created.
    struct StageFile {
        std::string name;
        std::FILE* handle = nullptr;
        const char* word = "";  // in the "Dumping" text and the write warning
    };
    // The Agilent pair shares one "DAC" word and one warning.
    enum OutputSlot { kOutputMain = 0, kOutputAgilentQ = 1 };

    int output_file_count() const;
    void open_file(StageFile& file);
    void write_file(StageFile& file, const void* data, size_t element_size, int64_t count);
    bool write_elements(StageFile& file, const void* data, size_t element_size, int64_t count);
    void write_agilent(const StageBuffers& buffers);
    void close_file(StageFile& file);

    Log& log_;
    const TxConfig& config_;
    const BlockSizes& sizes_;
    std::string base_name_;
    std::array<StageFile, kDumpPostIfft> dumps_;  // e .. f, by DumpStage
    std::array<StageFile, 2> outputs_;            // by OutputSlot
    bool had_failure_ = false;
};

}  // namespace terramod
