// --log-max-size on the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tx/config.h"

namespace terramod {
namespace {

struct Parsed {
    TxConfig config;
    std::string console;
};

Parsed parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "terramod");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* console = open_memstream(&buffer, &size);
    EXPECT_NE(console, nullptr);
    Parsed result;
    set_defaults(result.config);
    parse_command_line(result.config, static_cast<int>(arguments.size()), argv.data(), console);
    std::fclose(console);
    result.console.assign(buffer, size);
    std::free(buffer);
    return result;
}

// Bytes, or k, M, G as 1024, 1024^2, 1024^3 (either case), from 64 KiB to
// 1 TiB; anything else is ignored with a message, and recorded (a device run
// refuses it unless --lenient).
TEST(LogMaxSizeOption, Values) {
    struct Case {
        const char* value;
        std::optional<uint64_t> bytes;
    };
    const Case cases[] = {
        {"65536", 65536},
        {"64k", 65536},
        {"64K", 65536},
        {"100000", 100000},
        {"1M", 1048576},
        {"10m", 10485760},
        {"1G", 1073741824},
        {"2g", 2147483648},
        {"1024G", 1099511627776},
        {"1048576M", 1099511627776},
        {"1099511627776", 1099511627776},
        {"1099511627777", std::nullopt},
        {"1025G", std::nullopt},
        {"65535", std::nullopt},
        {"63k", std::nullopt},
        {"0", std::nullopt},
        {"", std::nullopt},
        {"k", std::nullopt},
        {"10kb", std::nullopt},
        {"10KiB", std::nullopt},
        {"10T", std::nullopt},
        {" 64k", std::nullopt},
        {"64k ", std::nullopt},
        {"-64k", std::nullopt},
        {"+64k", std::nullopt},
        {"1.5M", std::nullopt},
        {"1e6", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"99999999999999999999999k", std::nullopt},
    };
    const std::string range = "64k to 1024G bytes (k = 1024, M = 1024k, G = 1024M)";
    for (const Case& test : cases) {
        SCOPED_TRACE(test.value);
        const Parsed result = parse({"-i", "in.ts", "--log-max-size", test.value});
        EXPECT_EQ(result.config.log_max_size, test.bytes);
        if (test.bytes) {
            EXPECT_EQ(result.console, "");
            EXPECT_TRUE(result.config.settings_not_taken.empty());
            continue;
        }
        EXPECT_EQ(result.console, "Invalid log size " + std::string(test.value) +
                                      ": ignored.\n  --log-max-size takes " + range + ".\n");
        ASSERT_EQ(result.config.settings_not_taken.size(), 1u);
        EXPECT_EQ(result.config.settings_not_taken[0], "--log-max-size " + std::string(test.value) +
                                                           ": " + range + " expected; ignored");
    }
    EXPECT_FALSE(parse({"-i", "in.ts"}).config.log_max_size);
}

}  // namespace
}  // namespace terramod
