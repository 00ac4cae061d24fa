// Events the recorder writes to standard output: flat JSON objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace recorder {

using EventValue = std::variant<std::string, double, int64_t>;
using Event = std::vector<std::pair<std::string, EventValue>>;

// The event as one compact JSON line with its LF, or nothing when it cannot
// be represented (a number that is not finite).
std::optional<std::string> serialiseEvent(const Event& event);

Event errorEvent(std::string error);

}  // namespace recorder
