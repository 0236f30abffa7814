// UDP input, unicast or multicast (IPv4, IPv6, source-specific), with any
// number of whole packets per datagram; RTP recognised from its header.
#pragma once

#include <memory>

#include "common/log.h"
#include "net/network_input.h"

namespace terramod {

std::unique_ptr<NetworkInput> open_udp_input(const InputUri& uri,
                                             const NetworkInputOptions& options, Log& log);

}  // namespace terramod
