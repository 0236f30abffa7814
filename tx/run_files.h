// The files of a run: the input, whichever kind it is, and the identity
// checks that keep an output from overwriting the input, the log or another
// output.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/file_identity.h"
#include "common/log.h"
#include "io/ts_source.h"
#include "tx/tx_types.h"

namespace terramod {

// The -i and -o value that stands for standard input and standard output.
inline constexpr const char* kStandardStream = "-";

// The input, whichever kind it is, and what it is on disk.
struct OpenedInput {
    std::unique_ptr<TsSource> source;
    FileIdentity identity;
};

// What the -i value denotes on disk: standard input's file for "-".
std::optional<FileIdentity> input_identity(const std::string& path);

// Whether the log name denotes the input file (opening it would destroy it).
bool log_is_input(const std::optional<std::string>& input_path, const std::string& log_name);

// A regular file; standard input, a FIFO or a character device as a stream;
// a network input (udp://, srt://) as a live source, with `backup` (the
// --input-backup) when given. Nothing (after a fatal message) on failure.
std::optional<OpenedInput> open_input(const std::optional<std::string>& path,
                                      const TxConfig& config, Log& log,
                                      const std::optional<std::string>& backup = std::nullopt);

// Standard output redirected into the input or the log file is refused.
bool standard_output_spares_input_and_log(const FileIdentity& input, Log& log,
                                          const std::string& log_name);

// No output may denote the input, the LP input or the stored log file.
bool outputs_spare_input_and_log(const std::vector<std::string>& names, const FileIdentity& input,
                                 Log& log, const std::string& log_name,
                                 const std::optional<FileIdentity>& lp_input = std::nullopt);

// No two outputs of the run may denote one stored file.
bool outputs_are_distinct(const std::vector<std::string>& names, Log& log);

}  // namespace terramod
