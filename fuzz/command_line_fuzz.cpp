// libFuzzer harness: the command line, then what start-up derives from it.
// The input is the argument vector, arguments separated by NUL bytes. Each
// run parses it, writes the help/version text or the parameter report and the
// block summary through a log that prints nowhere (formatting included), and
// sizes the cycle; the sizes must be those of a valid configuration.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"
#include "tx/config.h"
#include "tx/parameters.h"

namespace {

using namespace terramod;

void require(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::string> split_arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments = {"terramod"};
    std::string argument;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(argument);
            argument.clear();
        } else {
            argument += static_cast<char>(data[i]);
        }
    }
    if (size > 0) arguments.push_back(argument);
    return arguments;
}

// Every enumeration within its name table, and the cycle made of whole OFDM
// symbols carrying whole packets.
void check_configuration(const TxConfig& config, const BlockSizes& sizes) {
    require(config.mode >= 0 && config.mode <= 1);
    require(config.constellation >= 0 && config.constellation <= 2);
    require(config.hierarchy >= 0 && config.hierarchy <= 3);
    require(config.guard_interval >= 0 && config.guard_interval <= 3);
    require(config.code_rate >= 0 && config.code_rate <= 4);
    require(config.channel_spacing >= 0 && config.channel_spacing <= 2);
    require(config.interleaver_init >= 0 && config.interleaver_init <= 1);
    require(config.frequency_mapping >= 0 && config.frequency_mapping <= 1);
    require(config.dac_format >= 0 && config.dac_format <= 4);
    require(config.verbosity >= 0 && config.verbosity <= 4);
    require(sizes.symbols_per_cycle > 0 && sizes.packets_per_cycle > 0);
    require(sizes.ts_bytes == sizes.packets_per_cycle * 188);
    require(sizes.rs_bytes == sizes.packets_per_cycle * 204);
    require(sizes.cell_count == sizes.symbols_per_cycle * data_carrier_count[config.mode]);
    require(sizes.sample_count > 0 && sizes.frame_cell_count > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::FILE* console = std::fopen("/dev/null", "w");
    std::vector<std::string> arguments = split_arguments(data, size);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    TxConfig config;
    set_defaults(config);
    parse_command_line(config, static_cast<int>(arguments.size()), argv.data(), console);

    Log log(config.verbosity, nullptr);  // formats every message, prints none
    if (report_help_or_version(config, log)) return 0;
    report_parameters(config, log);
    const BlockSizes sizes = choose_block_size(config);
    write_block_summary(sizes, log);
    check_configuration(config, sizes);
    return 0;
}
