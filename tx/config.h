// The command line: defaults and the single left-to-right walk over the
// arguments that fills TxConfig. Its messages go to `console` only (the log
// does not exist yet while parsing).
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "tx/tx_types.h"

namespace terramod {

void set_defaults(TxConfig& config);
void parse_command_line(TxConfig& config, int argc, char** argv, std::FILE* console = stdout);
// The same, returning the console messages instead of printing them.
std::string parse_command_line_to_text(TxConfig& config, int argc, char** argv);

// The long option naming a configuration file; the one option that is no
// key of the file.
inline constexpr std::string_view kConfigOption = "--config";

// A long option's name ("--gain") and the name of its value (nullptr for a
// flag), in the order -h lists them.
struct LongOptionSummary {
    std::string_view name;
    const char* value_name;
};
std::vector<LongOptionSummary> long_options();

// The long option an unknown one was probably meant to be, or nothing.
std::optional<std::string> closest_long_option_name(std::string_view unknown);

// One long option (`name` with its dashes) with its value, or without one
// for a flag, through the command line's own handling, but not recorded as
// given on the command line and printing nothing. Returns why the value was
// not taken as given ("one of 4, 16, 64 expected"), or nothing when it was.
std::optional<std::string> take_long_option(TxConfig& config, std::string_view name,
                                            const std::optional<std::string>& value);

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
