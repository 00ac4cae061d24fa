// A host that keeps descriptor 3 open but stops reading it: the pipe fills,
// and "stop" or end of input must still end the recording at once, leaving
// whole samples only and nothing after "recording_stopped".
#include "recorder_harness.h"

#include <gtest/gtest.h>

namespace recordertest {
namespace {

using namespace std::chrono_literals;

// Generous: a wedged recorder never answers, a working one at once.
constexpr milliseconds kAnswer{2000};

// At 48 kHz a fixture chunk and the tapped buffer below are 4800 frames:
// 9600 bytes of PCM16, more than the shrunk pipe holds.
constexpr double kRate = 48000.0;
constexpr uint32_t kFrames = 4800;
constexpr int kPipeBytes = 4096;
constexpr size_t kBufferBytes = 2 * kFrames;

const json kFixtureStart = {{"command", "start"}, {"fixturePath", "long.wav"}, {"sampleRate", kRate}};
const json kLiveStart = {{"command", "start"}, {"sampleRate", kRate}};

sim::SimFileData longFile()
{
    sim::SimFileData data;
    data.processingFormat = audio::Format{audio::CommonFormat::Float32, kRate, 1, false};
    data.samples = {std::vector<float>(size_t{kFrames} * 10, 0.25f)};
    return data;
}

// Only Linux can make descriptor 3 that small.
class StalledPcm : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef __linux__
        GTEST_SKIP() << "needs a pipe of a set capacity (F_SETPIPE_SZ)";
#endif
    }
};

// A recorder whose descriptor 3 is a pipe too small for one buffer.
struct StalledHarness {
    explicit StalledHarness(bool removeTapWaits = true)
    {
        const int capacity = harness.resizePcmPipe(kPipeBytes);
        EXPECT_GT(capacity, 0);
        EXPECT_LT(static_cast<size_t>(capacity), kBufferBytes);
        harness.platform().addFile("long.wav", longFile());
        harness.platform().setInputFormat(audio::Format{audio::CommonFormat::Float32, kRate, 1, false});
        harness.platform().setCaptureScript({constantBuffer(kRate, 1, kFrames, 0.25f)});
        harness.platform().setRemoveTapWaitsForBlock(removeTapWaits);
    }

    // Starts a recording and waits until its first buffer is part written:
    // the rest cannot go until the pipe is read.
    void startAndStall(const json& command)
    {
        harness.sendLine(command.dump());
        const auto started = harness.readEvent();
        ASSERT_TRUE(started);
        ASSERT_EQ((*started)["type"], "recording_started");
        ASSERT_TRUE(harness.waitPcmPending());
    }

    // After the end: what descriptor 3 holds is whole samples, and no more
    // follows it, nor any event.
    void expectCleanEnd()
    {
        const auto pending = harness.drainPcm();
        EXPECT_FALSE(pending.empty());
        EXPECT_LE(pending.size(), kBufferBytes);
        EXPECT_EQ(pending.size() % 2, 0u) << "half a sample left on descriptor 3";
    }

    RecorderHarness harness;
};

TEST_F(StalledPcm, StopEndsAFixtureWhosePipeIsFull)
{
    StalledHarness stalled;
    stalled.startAndStall(kFixtureStart);
    stalled.harness.sendLine(R"({"command":"stop"})");
    ASSERT_EQ(stalled.harness.readEvent(kAnswer), kStopped);
    stalled.expectCleanEnd();
    EXPECT_TRUE(stalled.harness.eventsBeforePong().empty()) << "a cancelled write is no failure";
    EXPECT_TRUE(stalled.harness.drainPcm().empty());

    // The next recording writes again.
    stalled.harness.sendLine(kFixtureStart.dump());
    ASSERT_TRUE(stalled.harness.readEvent());
    EXPECT_EQ(stalled.harness.readPcm(2 * kBufferBytes).size(), 2 * kBufferBytes);
    stalled.harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(stalled.harness.readEvent(kAnswer), kStopped);
}

TEST_F(StalledPcm, StopEndsALiveRecordingWhosePipeIsFull)
{
    for (bool removeTapWaits : {true, false}) {
        StalledHarness stalled(removeTapWaits);
        stalled.startAndStall(kLiveStart);
        stalled.harness.sendLine(R"({"command":"stop"})");
        ASSERT_EQ(stalled.harness.readEvent(kAnswer), kStopped) << "removeTap waits: " << removeTapWaits;
        stalled.expectCleanEnd();
        EXPECT_TRUE(stalled.harness.eventsBeforePong().empty());
        EXPECT_TRUE(stalled.harness.drainPcm().empty());

        // The new engine plays the script again, now into a pipe that is read.
        stalled.harness.sendLine(kLiveStart.dump());
        ASSERT_TRUE(stalled.harness.readEvent());
        EXPECT_EQ(stalled.harness.readPcm(kBufferBytes).size(), kBufferBytes);
        stalled.harness.sendLine(R"({"command":"stop"})");
        EXPECT_EQ(stalled.harness.readEvent(kAnswer), kStopped);
    }
}

TEST_F(StalledPcm, EndOfInputEndsARecordingWhosePipeIsFull)
{
    for (const json& command : {kFixtureStart, kLiveStart}) {
        StalledHarness stalled;
        stalled.startAndStall(command);
        stalled.harness.closeInput();
        ASSERT_TRUE(stalled.harness.waitLoopEnded(kAnswer)) << command.dump();
        EXPECT_EQ(stalled.harness.readEvent(), kStopped);
        EXPECT_FALSE(stalled.harness.readLine(0ms)) << "nothing follows recording_stopped";
        stalled.expectCleanEnd();
        EXPECT_TRUE(stalled.harness.drainPcm().empty());
    }
}

}  // namespace
}  // namespace recordertest
