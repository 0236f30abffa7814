// SRT input (caller or listener) through the SRT library; a build without
// it refuses srt:// names with a message saying so.
#pragma once

#include <memory>

#include "common/log.h"
#include "net/network_input.h"

namespace terramod {

std::unique_ptr<NetworkInput> open_srt_input(const InputUri& uri,
                                             const NetworkInputOptions& options, Log& log);

}  // namespace terramod
