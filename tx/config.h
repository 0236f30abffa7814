// The command line: defaults and the single left-to-right walk over the
// arguments that fills TxConfig. Its messages go to `console` only (the log
// does not exist yet while parsing).
#pragma once

#include <cstdio>
#include <string>

#include "common/log.h"
#include "tx/tx_types.h"

namespace terramod {

void set_defaults(TxConfig& config);
void parse_command_line(TxConfig& config, int argc, char** argv, std::FILE* console = stdout);
// The same, returning the console messages instead of printing them.
std::string parse_command_line_to_text(TxConfig& config, int argc, char** argv);

// After parsing: an unknown long option (with the closest valid one
// suggested) or a long option given last without its value is a fatal error,
// written to `console`; returns true when there was any. Nothing may be
// opened then.
bool command_line_refused(const TxConfig& config, std::FILE* console);

// A run to a device sends only the settings asked for: when an argument was
// unknown or a value fell back to a default or was ignored, writes the fatal
// message naming each and returns false; with --lenient, a warning naming
// them and true.
bool device_run_settings_taken(const TxConfig& config, Log& log);

// The banner's three lines.
extern const char* const kBanner;

// When -h or -V was given: writes the banner (and with -h the help text) at
// level 0 and returns true; the caller then ends the run with exit code 0.
bool report_help_or_version(const TxConfig& config, Log& log);

}  // namespace terramod
