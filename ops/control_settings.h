// The parameters an operator may change while a run goes on (gain,
// frequency, mute, backoff). The driver declares each one the run can change,
// with its value and a check of new values; the control interface asks for
// changes from its own thread; the driver takes them at a cycle boundary, so
// that a change never splits a cycle.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace terramod {

class ControlSettings {
  public:
    // A reason the value cannot be used ("gain 90 is outside the device's
    // range 0 to 47 dB"), or nothing when it can.
    using Check = std::function<std::optional<std::string>(double)>;

    struct Change {
        std::string name;
        double value;
    };

    // What a set() answers: the value as it will be used, or why not.
    struct Result {
        bool ok = false;
        std::string text;  // the value ("20") or the error message
    };

    // Declares a parameter (before the control interface starts).
    void declare(const std::string& name, double value, Check check);

    // From any thread. `value_text` is a number ("20", "4.74e8", "1"); the
    // value is checked, kept as the parameter's value and queued for the
    // driver. Unknown names and bad numbers are errors.
    Result set(const std::string& name, const std::string& value_text);
    // The value now (the last one set), or nothing for an unknown name.
    std::optional<double> get(const std::string& name) const;
    // Every declared parameter and its value, in declaration order.
    std::vector<std::pair<std::string, double>> values() const;

    // The driver, at a cycle boundary: the changes asked for since the last
    // call, in the order they were asked for.
    std::vector<Change> take_changes();
    // The driver, when a change it took could not be made (a device that
    // refused it): the value in force again, without a change queued.
    void settle(const std::string& name, double value);

  private:
    struct Parameter {
        std::string name;
        double value;
        Check check;
    };
    const Parameter* find(const std::string& name) const;

    mutable std::mutex mutex_;
    std::vector<Parameter> parameters_;
    std::vector<Change> pending_;
};

}  // namespace terramod
