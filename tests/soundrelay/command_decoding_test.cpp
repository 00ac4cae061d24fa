// Decoding of command lines and the repair of invalid UTF-8.
#include "command.h"
#include "fixture_name.h"
#include "utf8.h"

#include <gtest/gtest.h>

namespace {

using recorder::Command;
using recorder::decodeCommand;
using recorder::DecodeError;

TEST(DecodeCommand, RejectsWhatIsNotADecodableCommand)
{
    const char* lines[] = {
        "   ",                                        // blanks are not an empty line
        "\t",
        "ping",
        R"({"command":"ping"} x)",
        R"(["ping"])",
        R"("ping")",
        "null",
        "{}",
        R"({"command":null})",
        R"({"Command":"ping"})",                      // keys are case-sensitive
        R"({"command":1})",
        R"({"command":true})",
        R"({"command":"start","sampleRate":"16000"})",
        R"({"command":"start","sampleRate":true})",
        R"({"command":"start","channels":1.5})",
        R"({"command":"start","channels":"1"})",
        R"({"command":"start","channels":9223372036854775808})",  // beyond 64 signed bits
        R"({"command":"start","channels":1e300})",
        R"({"command":"start","reason":5})",
        R"({"command":"start","fixturePath":["a"]})",
        R"({"command":"ping",})",
    };
    for (const char* line : lines) {
        auto decoded = decodeCommand(line);
        ASSERT_TRUE(std::holds_alternative<DecodeError>(decoded)) << line;
        EXPECT_FALSE(std::get<DecodeError>(decoded).description.empty()) << line;
    }
}

TEST(DecodeCommand, ReadsTheFieldsAndTreatsNullAsAbsent)
{
    const struct {
        const char* line;
        Command expected;
    } cases[] = {
        {R"({"command":"ping"})", {"ping", {}, {}, {}, {}, {}, {}}},
        {R"(  {"command":"ping"}  )", {"ping", {}, {}, {}, {}, {}, {}}},
        {R"({"command":"ping","reason":"x","other":[1,2]})", {"ping", {}, {}, "x", {}, {}, {}}},
        {R"({"command":"start","sampleRate":null,"channels":null,"reason":null,"fixturePath":null})",
         {"start", {}, {}, {}, {}, {}, {}}},
        {R"({"command":"start","sampleRate":44100})", {"start", 44100.0, {}, {}, {}, {}, {}}},
        {R"({"command":"start","sampleRate":22050.5,"channels":2})", {"start", 22050.5, 2, {}, {}, {}, {}}},
        {R"({"command":"start","channels":-3})", {"start", {}, -3, {}, {}, {}, {}}},
        {R"({"command":"start","channels":4294967296})", {"start", {}, 4294967296, {}, {}, {}, {}}},
        {R"({"command":"start","channels":2.0})", {"start", {}, 2, {}, {}, {}, {}}},
        {R"({"command":"start","channels":1e2})", {"start", {}, 100, {}, {}, {}, {}}},
        {R"({"command":"start","fixturePath":"a/b.wav"})", {"start", {}, {}, {}, "a/b.wav", {}, {}}},
        {R"({"command":"x","command":"ping"})", {"ping", {}, {}, {}, {}, {}, {}}},
        {"{\"command\":\"\\u00e9\"}", {"\xC3\xA9", {}, {}, {}, {}, {}, {}}},
    };
    for (const auto& c : cases) {
        auto decoded = decodeCommand(c.line);
        ASSERT_TRUE(std::holds_alternative<Command>(decoded)) << c.line;
        const Command& got = std::get<Command>(decoded);
        EXPECT_EQ(got.command, c.expected.command) << c.line;
        EXPECT_EQ(got.sampleRate, c.expected.sampleRate) << c.line;
        EXPECT_EQ(got.channels, c.expected.channels) << c.line;
        EXPECT_EQ(got.reason, c.expected.reason) << c.line;
        EXPECT_EQ(got.fixturePath, c.expected.fixturePath) << c.line;
    }
}

// "seconds" belongs to "standby" and "preRollMs" to "start": each is
// checked there and ignored by every other command, as unknown keys are.
TEST(DecodeCommand, ChecksStandbySecondsAndPreRollForTheirCommandsOnly)
{
    const struct {
        const char* line;
        std::optional<std::string> error;
        std::optional<double> seconds;
        std::optional<double> preRollMs;
    } cases[] = {
        {R"({"command":"standby"})", {}, {}, {}},
        {R"({"command":"standby","seconds":null})", {}, {}, {}},
        {R"({"command":"standby","seconds":0})", {}, 0.0, {}},
        {R"({"command":"standby","seconds":0.25})", {}, 0.25, {}},
        {R"({"command":"standby","seconds":10})", {}, 10.0, {}},
        {R"({"command":"standby","seconds":10.001})", "invalid_standby_seconds", {}, {}},
        {R"({"command":"standby","seconds":-0.5})", "invalid_standby_seconds", {}, {}},
        {R"({"command":"standby","seconds":"1"})", "invalid_standby_seconds", {}, {}},
        {R"({"command":"standby","seconds":true})", "invalid_standby_seconds", {}, {}},
        {R"({"command":"start","preRollMs":300})", {}, {}, 300.0},
        {R"({"command":"start","preRollMs":0})", {}, {}, 0.0},
        {R"({"command":"start","preRollMs":1e9})", {}, {}, 1e9},
        {R"({"command":"start","preRollMs":null})", {}, {}, {}},
        {R"({"command":"start","preRollMs":-1})", "invalid_pre_roll", {}, {}},
        {R"({"command":"start","preRollMs":"300"})", "invalid_pre_roll", {}, {}},
        {R"({"command":"start","preRollMs":[300]})", "invalid_pre_roll", {}, {}},
        {R"({"command":"ping","seconds":"x","preRollMs":-1})", {}, {}, {}},
        {R"({"command":"start","seconds":99})", {}, {}, {}},
        {R"({"command":"standby","preRollMs":-1})", {}, {}, {}},
    };
    for (const auto& c : cases) {
        auto decoded = decodeCommand(c.line);
        if (c.error) {
            ASSERT_TRUE(std::holds_alternative<DecodeError>(decoded)) << c.line;
            EXPECT_EQ(std::get<DecodeError>(decoded).description, *c.error) << c.line;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<Command>(decoded)) << c.line;
        EXPECT_EQ(std::get<Command>(decoded).seconds, c.seconds) << c.line;
        EXPECT_EQ(std::get<Command>(decoded).preRollMs, c.preRollMs) << c.line;
    }
}

TEST(ReplaceInvalidUtf8, ReplacesEachMaximalIllFormedPart)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4"},
        {"a\xFFz", "a" + fffd + "z"},
        {"\xC0\xAF", fffd + fffd},                 // overlong lead
        {"\xE2\x82", fffd},                        // truncated at the end
        {"\xE2\x82z", fffd + "z"},                 // truncated before ASCII
        {"\xED\xA0\x80", fffd + fffd + fffd},      // a surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
        {"\x80\x80", fffd + fffd},                 // stray continuations
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recorder::replaceInvalidUtf8(c.in), c.out);
    }
}

TEST(LastPathComponent, IsTheFileNameWithoutDirectories)
{
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"/a/b/voice.wav", "voice.wav"}, {"voice.wav", "voice.wav"}, {"dir/sub/", "sub"},
        {"/", "/"},                      {"a//b.flac", "b.flac"},    {"../x.ogg", "x.ogg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recorder::lastPathComponent(c.path), c.name) << c.path;
    }
}

}  // namespace
