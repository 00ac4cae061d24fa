// Serialisation of events.
#include "event.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using recorder::Event;
using recorder::serialiseEvent;

TEST(SerialiseEvent, WritesOneCompactLine)
{
    EXPECT_EQ(serialiseEvent(Event{{"type", std::string("pong")}}), std::string("{\"type\":\"pong\"}\n"));

    const auto line = serialiseEvent(Event{{"type", std::string("recording_started")},
                                           {"sampleRate", 16000.0},
                                           {"channels", int64_t{2}},
                                           {"inputSampleRate", 44100.5},
                                           {"inputSource", std::string("microphone")}});
    ASSERT_TRUE(line);
    ASSERT_EQ(line->find('\n'), line->size() - 1);
    EXPECT_EQ(line->find(' '), std::string::npos);
    const auto parsed = nlohmann::json::parse(*line);
    EXPECT_EQ(parsed["sampleRate"].dump(), "16000");
    EXPECT_EQ(parsed["channels"], 2);
    EXPECT_EQ(parsed["inputSampleRate"], 44100.5);
    EXPECT_EQ(parsed["inputSource"], "microphone");
}

TEST(SerialiseEvent, DropsEventsWithNumbersThatAreNotFinite)
{
    for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                       std::nan("")}) {
        EXPECT_EQ(serialiseEvent(Event{{"type", std::string("recording_started")}, {"sampleRate", bad}}), std::nullopt);
    }
}

TEST(SerialiseEvent, KeepsTextThatIsNotUtf8AsValidJson)
{
    const auto line = serialiseEvent(recorder::errorEvent("fixture_read_failed:bad \xFF byte"));
    ASSERT_TRUE(line);
    const auto parsed = nlohmann::json::parse(*line, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed["error"], "fixture_read_failed:bad \xEF\xBF\xBD byte");
}

TEST(SerialiseEvent, EscapesQuotesAndControlCharacters)
{
    const auto line = serialiseEvent(recorder::errorEvent("a\"b\nc"));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "{\"error\":\"a\\\"b\\nc\",\"type\":\"error\"}\n");
}

}  // namespace
