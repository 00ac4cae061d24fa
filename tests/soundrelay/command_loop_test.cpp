// The command loop over pipes: reading, skipping, decoding and dispatch.
#include "line_reader.h"
#include "recorder_harness.h"

#include <gtest/gtest.h>


namespace recordertest {
namespace {

using namespace std::chrono_literals;

bool isDecodeFailure(const json& event)
{
    return event["type"] == "error" && event["error"].get<std::string>().rfind("decode_failed:", 0) == 0;
}

TEST(CommandLoop, PingYieldsExactlyThePongLine)
{
    RecorderHarness harness;
    harness.sendLine(R"({"command":"ping"})");
    EXPECT_EQ(harness.readLine(), R"({"type":"pong"})");
}

// A line beyond what the reader holds is refused whole, and nothing of its
// tail is taken for a command; the next line is read as usual.
TEST(CommandLoop, RefusesAnOverlongLineWholeAndReadsOn)
{
    RecorderHarness harness;
    const std::string tail = R"({"command":"ping"})";
    std::string overlong(recorder::LineReader::kMaxLineBytes + 1, ' ');
    harness.sendBytes(overlong + tail + "\n" + R"({"command":"ping"})" + "\n");
    EXPECT_EQ(harness.readEvent(), json({{"type", "error"}, {"error", "decode_failed:line_too_long"}}));
    EXPECT_EQ(harness.readEvent(), json({{"type", "pong"}}));
    EXPECT_TRUE(harness.noLineWithin(50ms));
}

// The limit counts the line without its CR LF, whether the LF comes in the
// same read as the CR or in a later one.
TEST(CommandLoop, TheLimitIgnoresTheTerminatorHoweverItArrives)
{
    const std::string ping = R"({"command":"ping"})";
    const size_t limit = recorder::LineReader::kMaxLineBytes;
    const struct {
        size_t lineBytes;
        bool lineFeedLater;
        json expected;
    } cases[] = {
        {limit, false, json({{"type", "pong"}})},
        {limit, true, json({{"type", "pong"}})},
        {limit + 1, false, json({{"type", "error"}, {"error", "decode_failed:line_too_long"}})},
        {limit + 1, true, json({{"type", "error"}, {"error", "decode_failed:line_too_long"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lineBytes << " bytes, LF later: " << c.lineFeedLater);
        RecorderHarness harness;
        const std::string line = std::string(c.lineBytes - ping.size(), ' ') + ping;
        if (c.lineFeedLater) {
            harness.sendBytes(line + "\r");
            ASSERT_TRUE(harness.waitInputConsumed());
            harness.sendBytes("\n");
        } else {
            harness.sendBytes(line + "\r\n");
        }
        EXPECT_EQ(harness.readEvent(), c.expected);
        EXPECT_TRUE(harness.noLineWithin(20ms));
    }
}

TEST(CommandLoop, WritesNothingBeforeTheFirstCommand)
{
    RecorderHarness harness;
    EXPECT_TRUE(harness.noLineWithin(50ms));
}

TEST(CommandLoop, AnswersEachLineAsTheTableSays)
{
    const struct {
        std::string bytes;  // what the host writes
        std::string answer; // "pong", "unknown_command", "decode_failed"
    } cases[] = {
        {"{\"command\":\"ping\"}\r\n", "pong"},
        {"{\"command\":\"Ping\"}\n", "unknown_command"},
        {"{\"command\":\" ping\"}\n", "unknown_command"},
        {"{\"command\":\"pi\xFFng\"}\n", "unknown_command"},  // repaired, then not a word we know
        {"{\"command\":\"ping\",\"reason\":\"caf\xE9\"}\n", "pong"},
        {"{\"command\":\"ping\",\"reason\":\"r\",\"extra\":{\"a\":1}}\n", "pong"},
        {"  \n", "decode_failed"},
        {"\r\r\n", "decode_failed"},
        {"{\"reason\":\"x\"}\n", "decode_failed"},
        {"{\"command\":null}\n", "decode_failed"},
        {"{\"command\":\"start\",\"sampleRate\":\"16000\"}\n", "decode_failed"},
        {"{\"command\":\"start\",\"channels\":0.5}\n", "decode_failed"},
        {"not json\n", "decode_failed"},
    };
    for (const auto& c : cases) {
        RecorderHarness harness;
        harness.sendBytes(c.bytes);
        auto event = harness.readEvent();
        ASSERT_TRUE(event) << c.bytes;
        if (c.answer == "pong") {
            EXPECT_EQ(*event, json({{"type", "pong"}})) << c.bytes;
        } else if (c.answer == "unknown_command") {
            EXPECT_EQ(*event, json({{"type", "error"}, {"error", "unknown_command"}})) << c.bytes;
        } else {
            EXPECT_TRUE(isDecodeFailure(*event)) << c.bytes << " gave " << event->dump();
            EXPECT_EQ(event->size(), 2u);
        }
        // The loop goes on after every answer.
        EXPECT_TRUE(harness.eventsBeforePong().empty()) << c.bytes;
    }
}

TEST(CommandLoop, SkipsEmptyLinesWithoutAnEvent)
{
    RecorderHarness harness;
    harness.sendBytes("{\"command\":\"ping\"}\n\n\r\n{\"command\":\"ping\"}\n");
    EXPECT_EQ(harness.readLine(), R"({"type":"pong"})");
    EXPECT_EQ(harness.readLine(), R"({"type":"pong"})");
    EXPECT_TRUE(harness.noLineWithin(50ms));
}

TEST(CommandLoop, ALastLineWithoutLineFeedIsStillALine)
{
    RecorderHarness harness;
    harness.sendBytes(R"({"command":"ping"})");
    harness.closeInput();
    EXPECT_EQ(harness.readLine(), R"({"type":"pong"})");
    EXPECT_EQ(harness.readLine(), R"({"type":"recording_stopped"})");
    EXPECT_TRUE(harness.waitLoopEnded());
}

TEST(CommandLoop, ALineMayArriveInPieces)
{
    RecorderHarness harness;
    harness.sendBytes(R"({"comm)");
    EXPECT_TRUE(harness.noLineWithin(20ms));
    harness.sendBytes("and\":\"ping\"}\n");
    EXPECT_EQ(harness.readLine(), R"({"type":"pong"})");
}

TEST(CommandLoop, StopAndAbortAnswerRecordingStoppedWithoutARecording)
{
    RecorderHarness harness;
    for (const char* word : {"stop", "abort", "stop"}) {
        harness.sendLine(std::string(R"({"command":")") + word + R"("})");
        EXPECT_EQ(harness.readLine(), R"({"type":"recording_stopped"})") << word;
    }
}

TEST(CommandLoop, EndOfInputStopsAndReturns)
{
    RecorderHarness harness;
    harness.closeInput();
    EXPECT_EQ(harness.readLine(), R"({"type":"recording_stopped"})");
    EXPECT_TRUE(harness.waitLoopEnded());
    EXPECT_TRUE(harness.noLineWithin(20ms));
}

TEST(CommandLoop, StandardInputThatIsNotOpenCountsAsEndOfInput)
{
    RecorderHarness harness(HarnessOptions{.stdinClosed = true});
    EXPECT_EQ(harness.readLine(), R"({"type":"recording_stopped"})");
    EXPECT_TRUE(harness.waitLoopEnded());
}

// Events of the capture thread and of the command loop, written at the same
// time, never share a line.
TEST(CommandLoop, EventsFromSeveralThreadsStayWholeLines)
{
    RecorderHarness harness;
    auto& sim = harness.platform();
    // Longer than a pipe writes atomically, so only the recorder keeps it whole.
    const std::string description(8000, 'e');
    sim.setConvertFault(sim::ConvertFault{audio::OutputStatus::Error, audio::Error{"sim", 1, description}});
    sim.setCaptureScript({constantBuffer(48000.0, 1, 64, 0.1f)});
    sim.setCaptureRepeat(std::chrono::microseconds(200));
    harness.sendLine(R"({"command":"start"})");
    // The tap runs before "recording_started" is written, so either may come first.
    bool started = false;
    bool failing = false;
    while (!started || !failing) {
        auto event = harness.readEvent();
        ASSERT_TRUE(event);
        started = started || (*event)["type"] == "recording_started";
        failing = failing || (*event)["type"] == "error";
    }

    // Pings in batches while the capture thread writes errors, until a
    // few errors have come in between.
    int errors = 0;
    for (int batch = 0; batch < 100 && errors < 5; ++batch) {
        constexpr int kPings = 50;
        for (int i = 0; i < kPings; ++i) {
            harness.sendLine(R"({"command":"ping"})");
        }
        for (int pongs = 0; pongs < kPings;) {
            auto line = harness.readLine();
            ASSERT_TRUE(line) << "after " << pongs << " pongs";
            const json event = json::parse(*line, nullptr, false);
            ASSERT_FALSE(event.is_discarded()) << "broken line of " << line->size() << " bytes";
            if (event["type"] == "pong") {
                ++pongs;
            } else {
                EXPECT_EQ(event["error"], description);
                ++errors;
            }
        }
    }
    EXPECT_GE(errors, 5);
}

}  // namespace
}  // namespace recordertest
