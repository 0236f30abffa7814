// The settings of a run checked before anything is opened, and what the
// chain and the device are built with.
#pragma once

#include <memory>

#include "common/log.h"
#include "io/sample_sink.h"
#include "ofdm/simd_kernels.h"
#include "tx/chain.h"
#include "tx/parameters.h"
#include "tx/tx_types.h"

namespace terramod {

// A hierarchical transmission needs 16QAM or 64QAM with alpha 1, 2 or 4, and
// not both streams on standard input.
bool hierarchical_settings_valid(const TxConfig& config, Log& log);

// What --device needs: a SoapySDR build, --frequency, a one-file format.
bool device_settings_usable(const TxConfig& config, bool to_standard_output, Log& log);

// Sets the device up and starts its stream; null after the fatal message.
std::unique_ptr<SampleSink> open_device(const TxConfig& config, double sample_rate, Log& log);

// The SIMD kernels: the widest this CPU runs, unless TERRAMOD_SIMD names
// another.
const SimdKernels& choose_kernels(Log& log);

// --precise needs FFTW in the build; --window N within a quarter of the guard.
bool check_transform_options(const TxConfig& config, Log& log);

// The channel simulator's settings against the output rate (after the
// parameter report): |--freq-offset| at most half of it.
bool check_channel_options(const TxConfig& config, const DerivedRates& rates, Log& log);

// What the chain is built with, the channel simulator's stages after the
// interpolation when an impairment is asked.
TransformOptions transform_options(const TxConfig& config, const SimdKernels& kernels,
                                   const DerivedRates& rates);

}  // namespace terramod
