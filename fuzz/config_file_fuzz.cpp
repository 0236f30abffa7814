// libFuzzer harness: any text as a --config file. Each run reads it through
// toml++ and the options' own handling; whatever the text, the result is
// settings or errors naming the file, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tx/config.h"
#include "tx/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terramod;
    TxConfig config;
    set_defaults(config);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const std::string& error : take_config_text(config, text, "fuzz.toml"))
        if (error.find("fuzz.toml") == std::string::npos) std::abort();
    return 0;
}
