// Fields of a helper's JSON line read without exceptions: a field that is
// missing or of another type reads as the fallback.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace ptthost {

// The line as a JSON object, or null when it is not one.
inline nlohmann::json parseObject(const std::string& line)
{
    auto value = nlohmann::json::parse(line, nullptr, false);
    return value.is_object() ? value : nlohmann::json();
}

inline std::string textField(const nlohmann::json& object, const char* key, std::string fallback = {})
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

inline int64_t intField(const nlohmann::json& object, const char* key, int64_t fallback)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<int64_t>() : fallback;
}

inline double numberField(const nlohmann::json& object, const char* key, double fallback)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

inline bool boolField(const nlohmann::json& object, const char* key, bool fallback)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

}  // namespace ptthost
