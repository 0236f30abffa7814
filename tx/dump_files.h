// The stage dump files (-d e r c v p b s m f): one table of {letter, file
// name suffix, announcement, element size}; each file is the raw image of its
// stage's buffer, cycle after cycle.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "io/output_file.h"
#include "tx/chain.h"
#include "tx/tx_types.h"

namespace terramod {

// The base of every file name: the output path up to the first "." of its
// last component, or "dac_output" without -o.
std::string make_base_name(const std::optional<std::string>& output_path);
inline constexpr const char* kDefaultBaseName = "dac_output";

// How a dump letter's file is named, announced and counted.
struct DumpDescription {
    DumpStage stage;
    const char* suffix;
    const char* announcement;
    const char* word;  // in the "Dumping" text and the write warning
    size_t element_size;
};

// In chain order, e .. f.
extern const std::array<DumpDescription, kDumpPostIfft> kDumpDescriptions;
// The low-priority stream's dumps of hierarchical transmission, e .. p
// (<base>_lp_ed.bin ...).
extern const std::array<DumpDescription, kDumpBitInterleaver> kLowPriorityDumpDescriptions;

class DumpFiles {
  public:
    // With lp_stream, the selected letters e .. p also dump the LP stream.
    DumpFiles(Log& log, const std::array<bool, kDumpStageCount>& selected,
              const std::string& base_name, bool lp_stream = false);

    // The names of the selected dump files, in opening order.
    std::vector<std::string> selected_file_names() const;
    // Announces and opens each selected file; one that cannot be created is a
    // warning and is skipped for the whole run. False, with the fatal message
    // written, when another run holds a file's lock.
    bool open();

    // Writes the dumps of the stages from `first` to `last` (inclusive).
    void write(const TxChain& chain, DumpStage first, DumpStage last);

    void close_all();
    bool had_failure() const { return had_failure_; }

  private:
    struct Dump {
        const DumpDescription* description;
        OutputFile file;
        bool low_priority;
    };

    Log& log_;
    std::vector<std::unique_ptr<Dump>> dumps_;  // the selected ones, in chain order
    bool had_failure_ = false;
};

}  // namespace terramod
