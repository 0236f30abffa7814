// The configuration file of --config: TOML, read with toml++. Every long
// option is a key of the same name without its dashes (`gain = 0`,
// `sample-type = "cs16"`); a flag takes true or false (false: as if not
// given). Each value becomes the option's text and goes through the command
// line's own handling, so a file takes exactly what the command line takes.
// The keys are flat (no tables, no arrays); --config itself is none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tx/tx_types.h"

namespace terramod {

// Takes the settings of the TOML text `text`, read from the file `name`
// (which the messages name), into `config`. The settings of
// config.command_line_settings are checked but keep the command line's
// values. Returns the errors, each "site.toml:12: unknown key "gian" (did
// you mean gain?)"; with any, `config` may hold part of the file and the run
// must stop.
std::vector<std::string> take_config_text(TxConfig& config, std::string_view text,
                                          const std::string& name);

// The same for the file at `path`; a file that cannot be read is one error.
std::vector<std::string> take_config_file(TxConfig& config, const std::string& path);

}  // namespace terramod
