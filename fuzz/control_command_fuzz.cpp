// libFuzzer harness: any bytes as lines to the control interface. Every
// reply is one line starting "ok " or "error ", and a value is taken only
// within the parameter's range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "ops/control_server.h"
#include "ops/control_settings.h"
#include "ops/metrics.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::optional<std::string> gain_check(double value) {
    if (value >= 0 && value <= 47) return std::nullopt;
    return "gain out of range";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace terramod;
    ControlSettings settings;
    settings.declare("gain", 10, gain_check);
    settings.declare("mute", 0, [](double value) -> std::optional<std::string> {
        if (value == 0 || value == 1) return std::nullopt;
        return "mute is 0 or 1";
    });
    RunMetrics metrics;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string reply = answer_control_command(text.substr(start, end - start), settings,
                                                         metrics);
        require(reply.rfind("ok", 0) == 0 || reply.rfind("error ", 0) == 0);
        require(reply.find('\n') == std::string::npos);
        start = end + 1;
    }
    const double gain = settings.get("gain").value_or(-1);
    require(gain >= 0 && gain <= 47);
    for (const ControlSettings::Change& change : settings.take_changes())
        require(change.name == "gain" ? change.value >= 0 && change.value <= 47
                                      : change.value == 0 || change.value == 1);
    return 0;
}
