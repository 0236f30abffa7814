#include "ops/control_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ops/metrics.h"

namespace terramod {
namespace {

void declare_gain_and_mute(ControlSettings& settings) {
    settings.declare("gain", 10, [](double value) -> std::optional<std::string> {
        if (value < 0 || value > 47) return "gain must be 0 to 47 dB";
        return std::nullopt;
    });
    settings.declare("mute", 0, [](double value) -> std::optional<std::string> {
        if (value != 0 && value != 1) return "mute is 0 or 1";
        return std::nullopt;
    });
}

TEST(ControlSettings, SetAnswersAndQueuesOnlyAcceptedValues) {
    struct Case {
        const char* name;
        const char* value;
        bool ok;
        const char* text;
    };
    const Case cases[] = {
        {"gain", "20", true, "20"},
        {"gain", "20.5", true, "20.5"},
        {"gain", "4.7e1", true, "47"},
        {"gain", "48", false, "gain must be 0 to 47 dB"},
        {"gain", "twenty", false, "'twenty' is not a number"},
        {"gain", "20dB", false, "'20dB' is not a number"},
        {"gain", "", false, "'' is not a number"},
        {"gain", "nan", false, "'nan' is not a number"},
        {"mute", "1", true, "1"},
        {"mute", "2", false, "mute is 0 or 1"},
        {"frequency", "474e6", false, "no parameter frequency can be set in this run"},
    };
    ControlSettings settings;
    declare_gain_and_mute(settings);
    size_t accepted = 0;
    for (const Case& c : cases) {
        const ControlSettings::Result result = settings.set(c.name, c.value);
        EXPECT_EQ(result.ok, c.ok) << c.name << " " << c.value;
        EXPECT_EQ(result.text, c.text) << c.name << " " << c.value;
        accepted += c.ok;
    }
    const auto changes = settings.take_changes();
    ASSERT_EQ(changes.size(), accepted);
    EXPECT_EQ(changes.front().name, "gain");
    EXPECT_EQ(changes.front().value, 20);
    EXPECT_EQ(changes.back().name, "mute");
    EXPECT_TRUE(settings.take_changes().empty());
    EXPECT_EQ(settings.get("gain"), 47);
    EXPECT_EQ(settings.get("mute"), 1);
    EXPECT_EQ(settings.get("backoff"), std::nullopt);
}

TEST(MetricValueText, ReadsBackAsTheSameNumber) {
    EXPECT_EQ(format_metric_value(474e6), "474000000");
    EXPECT_EQ(format_metric_value(0.25), "0.25");
    EXPECT_EQ(format_metric_value(-3), "-3");
    EXPECT_EQ(format_metric_value(1.0 / 0.0), "+Inf");
}

}  // namespace
}  // namespace terramod
