#include "command.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace recorder {

namespace {

using nlohmann::json;

DecodeError typeMismatch(const char* key)
{
    return DecodeError{std::string("type_mismatch:") + key};
}

// The value under `key` unless it is absent or null.
const json* optionalValue(const json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

// A JSON integer, or a float without a fraction, that fits 64 signed bits.
std::optional<int64_t> asInt64(const json& value)
{
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<int64_t>(u);
    }
    if (value.is_number_integer()) {
        return value.get<int64_t>();
    }
    if (!value.is_number_float()) {
        return std::nullopt;
    }
    const double d = value.get<double>();
    // -2^63 is exact; 2^63 is the first value that does not fit.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(d);
}

// Decodes the optional string under `key`; false on a wrong type.
bool decodeOptionalString(const json& object, const char* key, std::optional<std::string>& into)
{
    const json* value = optionalValue(object, key);
    if (!value) {
        return true;
    }
    if (!value->is_string()) {
        return false;
    }
    into = value->get<std::string>();
    return true;
}

// A number under `key`: absent, or within [lowest, highest].
bool decodeNumberWithin(const json& object, const char* key, double lowest, double highest,
                        std::optional<double>& into)
{
    const json* value = optionalValue(object, key);
    if (!value) {
        return true;
    }
    if (!value->is_number()) {
        return false;
    }
    const double number = value->get<double>();
    if (!(number >= lowest && number <= highest)) {
        return false;
    }
    into = number;
    return true;
}

// The standby length: 0 to 10 seconds.
bool decodeStandbySeconds(const json& object, std::optional<double>& into)
{
    constexpr double kLongestStandby = 10.0;
    return decodeNumberWithin(object, "seconds", 0.0, kLongestStandby, into);
}

// The pre-roll: milliseconds not below zero. More than is held is not
// wrong; the recording takes what there is.
bool decodePreRoll(const json& object, std::optional<double>& into)
{
    return decodeNumberWithin(object, "preRollMs", 0.0, std::numeric_limits<double>::infinity(), into);
}

}  // namespace

std::variant<Command, DecodeError> decodeCommand(std::string_view line)
{
    const json object = json::parse(line.begin(), line.end(), nullptr, false);
    if (object.is_discarded()) {
        return DecodeError{"invalid_json"};
    }
    if (!object.is_object()) {
        return DecodeError{"not_an_object"};
    }
    Command command;
    const json* word = optionalValue(object, "command");
    if (!word) {
        return DecodeError{"missing_key:command"};
    }
    if (!word->is_string()) {
        return typeMismatch("command");
    }
    command.command = word->get<std::string>();

    if (const json* rate = optionalValue(object, "sampleRate")) {
        if (!rate->is_number()) {
            return typeMismatch("sampleRate");
        }
        command.sampleRate = rate->get<double>();
    }
    if (const json* channels = optionalValue(object, "channels")) {
        command.channels = asInt64(*channels);
        if (!command.channels) {
            return typeMismatch("channels");
        }
    }
    if (!decodeOptionalString(object, "reason", command.reason)) {
        return typeMismatch("reason");
    }
    if (!decodeOptionalString(object, "fixturePath", command.fixturePath)) {
        return typeMismatch("fixturePath");
    }
    // The two keys mean something to one command each; other commands
    // ignore them, as they ignore every key they do not know.
    if (command.command == "standby" && !decodeStandbySeconds(object, command.seconds)) {
        return DecodeError{"invalid_standby_seconds"};
    }
    if (command.command == "start" && !decodePreRoll(object, command.preRollMs)) {
        return DecodeError{"invalid_pre_roll"};
    }
    return command;
}

}  // namespace recorder
