// Alarms and state changes of a run (on air, TS loss, an input switched, a
// parameter changed ...), for whoever records them: the events file writes
// each as a JSON line with its time. Any layer may raise one; a stage with no
// recorder attached raises nothing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace terramod {

// A field's value: text, a number or a flag.
using RunEventValue = std::variant<std::string, double, int64_t, bool>;

struct RunEvent {
    std::string name;  // "ts_loss_begin", "input_switched", ...
    std::vector<std::pair<std::string, RunEventValue>> fields;
};

class RunEventSink {
  public:
    virtual ~RunEventSink() = default;
    // Records the event with the time it is raised. Callable from any
    // thread; never blocks on a slow reader for long.
    virtual void raise(const RunEvent& event) = 0;
};

}  // namespace terramod
