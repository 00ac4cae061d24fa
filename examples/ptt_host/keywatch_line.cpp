#include "keywatch_line.h"

#include "json_fields.h"

#include <array>
#include <string_view>

namespace ptthost {

namespace {

using Kind = KeywatchLine::Kind;

std::string tapWords(int64_t tap)
{
    switch (tap) {
    case 0:
    case 1:
        return "active tap " + std::to_string(tap);
    case 2:
        return "listen-only tap 2";
    default:
        return "no tap";
    }
}

KeywatchLine make(Kind kind, std::string text = {})
{
    KeywatchLine result;
    result.kind = kind;
    result.text = std::move(text);
    return result;
}

KeywatchLine fromObject(const nlohmann::json& line, const std::string& raw)
{
    const std::string type = textField(line, "t");
    const int64_t tap = intField(line, "tap", -1);
    if (type == "cd") {
        return make(Kind::CapsDown);
    }
    if (type == "cu") {
        auto up = make(Kind::CapsUp);
        up.stuck = boolField(line, "stuck", false);
        return up;
    }
    if (type == "hb") {
        auto beat = make(Kind::Heartbeat);
        beat.tap = static_cast<int>(tap);
        beat.tapValid = boolField(line, "valid", true) && tap >= 0;
        return beat;
    }
    if (type == "ok") {
        auto ready = make(Kind::Ready, tapWords(tap));
        ready.tap = static_cast<int>(tap);
        return ready;
    }
    if (type == "err") {
        return make(Kind::Failed, textField(line, "m", "unknown failure"));
    }
    if (type == "re") {
        return make(Kind::KeysReset, "tap disabled (reason " + std::to_string(intField(line, "reason", 0)) +
                                         ") and enabled again");
    }
    if (type == "rs") {
        const bool entered = textField(line, "reason") == "secure_input_enter";
        return make(Kind::KeysReset, entered ? "secure input switched on" : "secure input switched off");
    }
    if (type == "recreated") {
        const bool ok = boolField(line, "ok", false);
        return make(Kind::Notice, "tap re-created after " + textField(line, "reason", "unknown") + ": " +
                                      tapWords(tap) + (ok ? ", working" : ", not working"));
    }
    if (type == "upgraded") {
        return make(Kind::Notice, "tap upgraded to " + tapWords(tap));
    }
    if (type == "drift") {
        return make(Kind::Notice, "Caps Lock itself seen although a remap is set");
    }
    if (type == "cpx") {
        return make(Kind::Notice, intField(line, "state", 0) != 0 ? "Caps Lock on" : "Caps Lock off");
    }
    constexpr std::array<std::string_view, 7> kUnused = {"csd", "csu", "kd", "ku", "pd", "pu", "dbg"};
    for (const auto unused : kUnused) {
        if (type == unused) {
            return make(Kind::Ignored);
        }
    }
    if (type.empty()) {
        return make(Kind::Unreadable, raw);
    }
    return make(Kind::Notice, raw);
}

}  // namespace

KeywatchLine readKeywatchLine(const std::string& line)
{
    const auto object = parseObject(line);
    if (object.is_null()) {
        return make(Kind::Unreadable, line);
    }
    return fromObject(object, line);
}

}  // namespace ptthost
