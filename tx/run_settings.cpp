#include "tx/run_settings.h"

#include <cmath>
#include <cstdlib>

#include "ofdm/precise_ifft.h"
#include "ofdm/symbol_window.h"
#include "tx/channel_setup.h"
#include "tx/run_files.h"
#include "tx/sample_output.h"
#include "tx/worker_pool.h"
#ifdef TERRAMOD_HAVE_SOAPYSDR
#include "io/soapy_sink.h"
#endif

namespace terramod {

// A hierarchical transmission needs 16QAM or 64QAM with a non-uniformity
// alpha of 1, 2 or 4; both are given by -M and -a.
bool hierarchical_settings_valid(const TxConfig& config, Log& log) {
    if (!config.hierarchical_streams()) return true;
    if (config.input_path == kStandardStream && config.lp_input_path == kStandardStream) {
        log.fatal("-i and --lp-input cannot both read standard input\n");
        return false;
    }
    if (config.constellation != kQpsk && config.hierarchy != kNonHierarchical) return true;
    log.fatal("--lp-input needs -M 16 or -M 64 and -a 1, 2 or 4\n");
    return false;
}

// The settings --device needs, checked before anything is opened.
bool device_settings_usable(const TxConfig& config, bool to_standard_output, Log& log) {
#ifndef TERRAMOD_HAVE_SOAPYSDR
    (void)config;
    (void)to_standard_output;
    log.fatal("this build of terramod has no SoapySDR: --device is not available\n");
    return false;
#else
    if (to_standard_output) {
        log.fatal("--device and -o - both ask for the samples: choose one\n");
        return false;
    }
    if (!config.frequency_hz) {
        log.fatal("--device needs the transmit frequency: --frequency HZ\n");
        return false;
    }
    if (output_format(config.dac_format).encoding != SampleEncoding::kFloatPairs) {
        log.fatal("--device takes the standard, 2x or 4x format, not -F agi or hp\n");
        return false;
    }
    const SampleTypeDescription& type = sample_type_description(config.sample_type.value_or(kCf32));
    if (type.device_format == nullptr) {
        log.fatal("--device streams %s samples, not %s\n", device_sample_type_names().c_str(),
                  type.name);
        return false;
    }
    return true;
#endif
}

// Sets the device up and starts its stream; null after the fatal message.
std::unique_ptr<SampleSink> open_device(const TxConfig& config, double sample_rate, Log& log) {
#ifdef TERRAMOD_HAVE_SOAPYSDR
    SoapySinkSettings settings;
    settings.device_args = *config.device_args;
    settings.channel = static_cast<size_t>(config.channel);
    settings.frequency_hz = *config.frequency_hz;
    settings.gain_db = config.gain_db;
    settings.antenna = config.antenna;
    settings.sample_rate = sample_rate;
    // device_settings_usable() has refused a type that no device takes.
    settings.stream_format =
        sample_type_description(config.sample_type.value_or(kCf32)).device_format;
    settings.prime_samples = static_cast<size_t>(config.prime_ms * 1e-3 * sample_rate);
    settings.clock_source = config.clock_source;
    // An SFN transmitter sends timed bursts: the device's clock follows the
    // time source.
    if (config.sfn) {
        settings.clock_setting = config.time_source_pps       ? DeviceClockSetting::kNextPps
                                 : config.time_source_fixed_s ? DeviceClockSetting::kFixed
                                                              : DeviceClockSetting::kSystemClock;
        if (config.time_source_fixed_s)
            settings.fixed_time_ns = std::llround(*config.time_source_fixed_s * 1e9);
    }
    return SoapySink::open(settings, log);
#else
    (void)config;
    (void)sample_rate;
    (void)log;
    return nullptr;
#endif
}

// The SIMD kernels: the widest this CPU runs, unless TERRAMOD_SIMD names
// another (for comparisons and tests; the output is the same on every path).
const SimdKernels& choose_kernels(Log& log) {
    const SimdKernels* kernels = kernels_from_environment();
    const char* forced = std::getenv(kSimdEnvironmentVariable);
    if (kernels == nullptr) {
        log.write(LogLevel::kErrors,
                  "WARNING: %s=\"%s\" names no SIMD path this machine runs -> using %s\n",
                  kSimdEnvironmentVariable, forced, best_kernels().name);
        return best_kernels();
    }
    if (forced != nullptr && *forced != 0)
        log.write(LogLevel::kMemory, "SIMD path forced by %s: %s\n", kSimdEnvironmentVariable,
                  kernels->name);
    return *kernels;
}

// --precise needs FFTW in the build; --window N a whole number of samples
// within a quarter of the guard interval. Reports what is used at level 2.
bool check_transform_options(const TxConfig& config, Log& log) {
    const bool precise = config.arithmetic == Arithmetic::kPrecise;
    if (precise && !PreciseIfft::available()) {
        log.fatal("--precise: this build of terramod has no FFTW\n");
        return false;
    }
    const int32_t guard =
        static_cast<int32_t>(fft_size[config.mode] * guard_fraction[config.guard_interval]);
    const int32_t max_window = SymbolWindow::max_length(guard);
    if (config.window_length < 0 || config.window_length > max_window) {
        log.fatal(
            "--window takes a number of samples from 0 to %d with this mode "
            "and guard interval (a quarter of its %d samples)\n",
            max_window, guard);
        return false;
    }
    if (precise)
        log.write(LogLevel::kProgress,
                  "Transform: exact, in double precision (FFTW), rounded to float\n");
    if (config.arithmetic == Arithmetic::kFast)
        log.write(LogLevel::kProgress,
                  "Arithmetic: fast, transform and interpolator in single precision\n");
    if (config.window_length > 0)
        log.write(LogLevel::kProgress,
                  "Symbol windowing: raised-cosine transitions of %d samples\n",
                  config.window_length);
    return true;
}

bool check_channel_options(const TxConfig& config, const DerivedRates& rates, Log& log) {
    return check_channel_settings(config, rates.sampling_rate, log);
}

TransformOptions transform_options(const TxConfig& config, const SimdKernels& kernels,
                                   const DerivedRates& rates) {
    TransformOptions options;
    options.arithmetic = config.arithmetic;
    options.window_length = config.window_length;
    options.threads = config.threads > 0 ? config.threads : online_processors();
    options.dumps = config.dump;
    options.kernels = &kernels;
    options.after_interpolation =
        channel_stages(config, rates.sampling_rate, rates.nominal_bandwidth);
    return options;
}

}  // namespace terramod
