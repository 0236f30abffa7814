#include "ops/control_settings.h"

#include <charconv>
#include <cmath>

#include "ops/metrics.h"

namespace terramod {

namespace {

// The whole text as a finite number, or nothing.
std::optional<double> parse_number(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace

void ControlSettings::declare(const std::string& name, double value, Check check) {
    std::lock_guard<std::mutex> lock(mutex_);
    parameters_.push_back({name, value, std::move(check)});
}

const ControlSettings::Parameter* ControlSettings::find(const std::string& name) const {
    for (const Parameter& parameter : parameters_)
        if (parameter.name == name) return &parameter;
    return nullptr;
}

ControlSettings::Result ControlSettings::set(const std::string& name,
                                             const std::string& value_text) {
    std::lock_guard<std::mutex> lock(mutex_);
    Parameter* parameter = const_cast<Parameter*>(find(name));
    if (parameter == nullptr) return {false, "no parameter " + name + " can be set in this run"};
    const std::optional<double> value = parse_number(value_text);
    if (!value) return {false, "'" + value_text + "' is not a number"};
    if (parameter->check)
        if (std::optional<std::string> error = parameter->check(*value)) return {false, *error};
    parameter->value = *value;
    pending_.push_back({name, *value});
    return {true, format_metric_value(*value)};
}

std::optional<double> ControlSettings::get(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Parameter* parameter = find(name);
    if (parameter == nullptr) return std::nullopt;
    return parameter->value;
}

std::vector<std::pair<std::string, double>> ControlSettings::values() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, double>> result;
    for (const Parameter& parameter : parameters_)
        result.emplace_back(parameter.name, parameter.value);
    return result;
}

void ControlSettings::settle(const std::string& name, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Parameter* parameter = const_cast<Parameter*>(find(name))) parameter->value = value;
}

std::vector<ControlSettings::Change> ControlSettings::take_changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Change> changes;
    changes.swap(pending_);
    return changes;
}

}  // namespace terramod
