// A transmitter of a single-frequency network (--sfn, ETSI TS 101 191): the
// settings checked against (or taken from) the first MIP, and the emission
// time of the first mega-frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/log.h"
#include "sfn/megaframe.h"
#include "sfn/mip.h"
#include "tx/tx_types.h"

namespace terramod {

// --sfn with a setting it cannot run with (--adapt-rate, --loop, --lp-input)
// is refused: false, with the fatal message written.
bool sfn_settings_usable(const TxConfig& config, Log& log);

// How far into the input the first MIP may come: 2 mega-frames of the most
// packets any settings give (a mega-frame has the same symbols in 2k and 8k).
int64_t sfn_search_limit();

// The channel bandwidth in Hz (--bandwidth, else -b).
int64_t run_bandwidth_hz(const TxConfig& config);

// The tps_mip field a MIP for this run's settings carries.
uint32_t tps_mip_for_run(const TxConfig& config);

// The settings, as a MIP's tps_mip field names them.
std::string tps_mip_words(uint32_t tps_mip);

// Checks the MIP's tps_mip against the settings, or with --sfn-take-settings
// takes the mode, constellation, hierarchy, code rate and guard interval
// from it. false, with the fatal message naming both, when they differ.
bool check_or_take_mip_settings(TxConfig& config, const Mip& mip, Log& log);

// When mega-frame 0 (the one the first MIP points to) is to leave the
// antenna, UTC ns: the 1 PPS pulse + STS + maximum_delay + this
// transmitter's tx_time_offset (--tx-id) + --sfn-offset. The pulse is the
// fixed time source's, or the whole second of the system clock that puts
// pulse + STS nearest to `now_ns`.
int64_t first_emission_ns(const TxConfig& config, const Mip& mip, int64_t now_ns);

}  // namespace terramod
