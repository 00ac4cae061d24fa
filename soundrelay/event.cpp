#include "event.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace recorder {

namespace {

using nlohmann::json;

// Largest magnitude below which every whole double is an exact integer.
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

// A whole number goes out without a fraction ("16000", not "16000.0"), as
// hosts read rates as plain numbers.
json numberValue(double value)
{
    if (value == std::trunc(value) && std::fabs(value) <= kExactIntegerLimit) {
        return static_cast<int64_t>(value);
    }
    return value;
}

struct ToJson {
    json operator()(const std::string& text) const { return text; }
    json operator()(double number) const { return numberValue(number); }
    json operator()(int64_t number) const { return number; }
};

bool representable(const EventValue& value)
{
    const double* number = std::get_if<double>(&value);
    return !number || std::isfinite(*number);
}

}  // namespace

std::optional<std::string> serialiseEvent(const Event& event)
{
    json object = json::object();
    for (const auto& [key, value] : event) {
        if (!representable(value)) {
            return std::nullopt;
        }
        object[key] = std::visit(ToJson{}, value);
    }
    // Text from the platform may not be valid UTF-8; it is repaired rather
    // than losing the event.
    std::string line = object.dump(-1, ' ', false, json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

Event errorEvent(std::string error)
{
    return Event{{"type", std::string("error")}, {"error", std::move(error)}};
}

}  // namespace recorder
