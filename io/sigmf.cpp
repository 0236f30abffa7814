#include "io/sigmf.h"

#include <cstdio>
#include <ctime>

#include "common/json_text.h"
#include "common/locked_file.h"

namespace terramod {

namespace {

std::string quoted(const std::string& text) {
    return json_quoted(text);
}

// Shortest text that reads back as the same double.
std::string number(double value) {
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        double back = 0;
        if (std::sscanf(text, "%lf", &back) == 1 && back == value) break;
    }
    return text;
}

}  // namespace

std::string iso8601_utc(int64_t ns_since_1970) {
    constexpr int64_t kNsPerSecond = 1000000000;
    // Whole seconds rounded down, so that a time before 1970 has a positive fraction.
    int64_t seconds = ns_since_1970 / kNsPerSecond;
    int64_t fraction = ns_since_1970 % kNsPerSecond;
    if (fraction < 0) {
        fraction += kNsPerSecond;
        --seconds;
    }
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string result = text;
    if (fraction > 0) {
        char digits[16];
        std::snprintf(digits, sizeof digits, ".%09lld", static_cast<long long>(fraction));
        std::string part = digits;
        part.erase(part.find_last_not_of('0') + 1);
        result += part;
    }
    return result + "Z";
}

std::string sigmf_json(const SigmfMetadata& metadata) {
    std::string json = "{\n  \"global\": {\n";
    auto field = [&json](const std::string& name, const std::string& value) {
        json += "    " + quoted(name) + ": " + value + ",\n";
    };
    field("core:datatype", quoted(metadata.datatype));
    field("core:sample_rate", number(metadata.sample_rate));
    field("core:version", quoted("1.2.5"));
    field("core:recorder", quoted(metadata.recorder));
    field("core:description", quoted(metadata.description));
    field("core:dataset", quoted(metadata.dataset));
    field("core:extensions", "[{\"name\": \"dvbt\", \"version\": \"1.0.0\", \"optional\": true}]");
    for (const auto& [name, value] : metadata.texts) field("dvbt:" + name, quoted(value));
    for (const auto& [name, value] : metadata.numbers) field("dvbt:" + name, number(value));
    json.erase(json.size() - 2);  // the last field's comma
    json += "\n  },\n  \"captures\": [{\"core:sample_start\": 0";
    if (metadata.frequency) json += ", \"core:frequency\": " + number(*metadata.frequency);
    if (metadata.datetime_ns)
        json += ", \"core:datetime\": " + quoted(iso8601_utc(*metadata.datetime_ns));
    for (const SigmfCapture& capture : metadata.later_captures) {
        json +=
            "},\n               {\"core:sample_start\": " + std::to_string(capture.sample_start);
        if (metadata.frequency) json += ", \"core:frequency\": " + number(*metadata.frequency);
        json += ", \"core:datetime\": " + quoted(iso8601_utc(capture.datetime_ns)) +
                ", \"dvbt:megaframe\": " + std::to_string(capture.megaframe);
    }
    json += "}],\n  \"annotations\": []\n}\n";
    return json;
}

bool write_sigmf_file(const std::string& path, const SigmfMetadata& metadata) {
    LockedOpenResult result;
    std::FILE* file = open_locked_for_writing(path, "w", result);
    if (!file) return false;
    const std::string json = sigmf_json(metadata);
    const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace terramod
