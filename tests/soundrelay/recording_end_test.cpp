// "stop" is final: once "recording_stopped" is out, nothing of the stopped
// recording follows. PCM and events share one pipe here, so their order
// can be read off the bytes: PCM samples are 0x0101, a byte JSON never has.
#include "recorder_harness.h"

#include <gtest/gtest.h>

#include <future>

namespace recordertest {
namespace {

using namespace std::chrono_literals;

// Maps to the PCM16 sample 0x0101.
const float kMarker = 257.5f / 32767.0f;
const std::string kNever = "\xFE never written";
const std::string kStoppedLine = "{\"type\":\"recording_stopped\"}\n";

struct Split {
    size_t pcmBytesBeforeStop = 0;
    size_t pcmBytesAfterStop = 0;
    std::string textAfterStop;
    bool stopSeen = false;
};

// Takes the combined stream apart at the "recording_stopped" line.
Split splitAtStop(const std::string& stream)
{
    Split split;
    std::string text;
    for (char byte : stream) {
        if (byte == '\x01') {
            (split.stopSeen ? split.pcmBytesAfterStop : split.pcmBytesBeforeStop)++;
            continue;
        }
        if (split.stopSeen) {
            split.textAfterStop.push_back(byte);
            continue;
        }
        text.push_back(byte);
        if (text.size() >= kStoppedLine.size() &&
            text.compare(text.size() - kStoppedLine.size(), kStoppedLine.size(), kStoppedLine) == 0) {
            split.stopSeen = true;
        }
    }
    return split;
}

// The pong is the last thing written, so the stream read up to it is whole.
Split pingAndSplitAtStop(RecorderHarness& harness)
{
    harness.sendLine(R"({"command":"ping"})");
    return splitAtStop(harness.readCombinedUntil("{\"type\":\"pong\"}\n"));
}

TEST(RecordingEnd, NoLivePcmFollowsRecordingStopped)
{
    RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
    auto& sim = harness.platform();
    sim.setCaptureScript({constantBuffer(48000.0, 1, 480, kMarker)});
    sim.setCaptureRepeat(std::chrono::microseconds(500));
    harness.sendLine(R"({"command":"start"})");
    // Let PCM flow, then stop and ping: the pong is the last thing written.
    harness.readCombinedUntil(std::string(64, '\x01'));
    harness.sendLine(R"({"command":"stop"})");
    const Split split = pingAndSplitAtStop(harness);
    ASSERT_TRUE(split.stopSeen);
    EXPECT_EQ(split.pcmBytesAfterStop, 0u);
    EXPECT_EQ(split.textAfterStop, "{\"type\":\"pong\"}\n");
}

// The platform's removeTap returns while a block still converts; the
// recorder itself waits for that buffer before it answers.
TEST(RecordingEnd, StopWaitsForATapBufferInFlight)
{
    RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
    auto& sim = harness.platform();
    sim.setRemoveTapWaitsForBlock(false);
    harness.sendLine(R"({"command":"start"})");
    harness.readCombinedUntil("\n");
    sim.holdConverter(true);
    auto inFlight = std::async(std::launch::async,
                               [&] { return sim.deliver(constantBuffer(48000.0, 1, 480, kMarker)); });
    ASSERT_TRUE(sim.waitConverterHeld(kWait));
    harness.sendLine(R"({"command":"stop"})");
    ASSERT_TRUE(sim.waitRemoveTapCalls(2, kWait));  // one at start, one in teardown
    EXPECT_EQ(harness.readCombinedUntil(kStoppedLine, 50ms).find(kStoppedLine), std::string::npos)
        << "stop answered while a buffer was in flight";
    sim.holdConverter(false);
    EXPECT_TRUE(inFlight.get());
    const Split split = pingAndSplitAtStop(harness);
    ASSERT_TRUE(split.stopSeen);
    EXPECT_EQ(split.pcmBytesBeforeStop, 320u);  // the held buffer, 480 frames at a third
    EXPECT_EQ(split.pcmBytesAfterStop, 0u);
}

// What the converter holds back is the end of the utterance: written after
// the last tapped buffer and before "recording_stopped", however the
// recording ends, so that the captured input accounts for every sample.
TEST(RecordingEnd, TheConverterIsDrainedBeforeRecordingStopped)
{
    for (const std::string end : {"stop", "abort", "end of input"}) {
        SCOPED_TRACE(end);
        RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
        auto& sim = harness.platform();
        sim.setConverterHoldBack(300);
        harness.sendLine(R"({"command":"start"})");
        harness.readCombinedUntil("\n");
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(sim.deliver(constantBuffer(48000.0, 1, 960, kMarker)));
        }
        Split split;
        if (end == "end of input") {
            harness.closeInput();
            ASSERT_TRUE(harness.waitLoopEnded());
            split = splitAtStop(harness.readCombinedUntil(kStoppedLine));
        } else {
            harness.sendLine(R"({"command":")" + end + R"("})");
            split = pingAndSplitAtStop(harness);
        }
        ASSERT_TRUE(split.stopSeen);
        EXPECT_EQ(split.pcmBytesBeforeStop, 2u * 960u);  // 2880 frames at a third
        EXPECT_EQ(split.pcmBytesAfterStop, 0u);
    }
}

sim::SimFileData markerFile(double seconds)
{
    sim::SimFileData data;
    data.samples = {std::vector<float>(static_cast<size_t>(16000 * seconds), kMarker)};
    return data;
}

TEST(RecordingEnd, NoFixturePcmOrFinishFollowsRecordingStopped)
{
    RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
    harness.platform().addFile("long.wav", markerFile(0.25));
    harness.sendLine(R"({"command":"start","fixturePath":"long.wav"})");
    // Stop in the middle of a chunk's pause.
    harness.readCombinedUntil(std::string(3200, '\x01'));
    harness.sendLine(R"({"command":"stop"})");
    const Split split = pingAndSplitAtStop(harness);
    ASSERT_TRUE(split.stopSeen);
    EXPECT_EQ(split.pcmBytesAfterStop, 0u);
    EXPECT_EQ(split.textAfterStop, "{\"type\":\"pong\"}\n");
}

TEST(RecordingEnd, StopWaitsForAFixtureChunkInFlight)
{
    RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
    auto& sim = harness.platform();
    sim.addFile("long.wav", markerFile(1.0));
    sim.holdFileReads(true);
    harness.sendLine(R"({"command":"start","fixturePath":"long.wav"})");
    ASSERT_TRUE(sim.waitFileReadHeld(kWait));
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_TRUE(harness.readCombinedUntil(kStoppedLine, 50ms).find(kStoppedLine) == std::string::npos)
        << "stop answered while a chunk was in flight";
    sim.holdFileReads(false);
    const Split split = pingAndSplitAtStop(harness);
    ASSERT_TRUE(split.stopSeen);
    EXPECT_EQ(split.pcmBytesAfterStop, 0u);
    EXPECT_EQ(split.textAfterStop, "{\"type\":\"pong\"}\n");
}

TEST(RecordingEnd, EndOfInputDuringPlaybackIsFinalToo)
{
    RecorderHarness harness(HarnessOptions{.pcmToStdout = true});
    harness.platform().addFile("long.wav", markerFile(1.0));
    harness.sendLine(R"({"command":"start","fixturePath":"long.wav"})");
    harness.readCombinedUntil(std::string(3200, '\x01'));
    harness.closeInput();
    ASSERT_TRUE(harness.waitLoopEnded());
    std::string stream = harness.readCombinedUntil(kStoppedLine);
    stream += harness.readCombinedUntil(kNever, 50ms);
    const Split split = splitAtStop(stream);
    ASSERT_TRUE(split.stopSeen);
    EXPECT_EQ(split.pcmBytesAfterStop, 0u);
    EXPECT_EQ(split.textAfterStop, "");
}

}  // namespace
}  // namespace recordertest
