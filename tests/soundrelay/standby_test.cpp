// Standby on the simulated microphone: the protocol, the seam between held
// and live input, and standby beside the other kinds of recording.
#include "pcm16.h"
#include "recorder_harness.h"

#include <gtest/gtest.h>

namespace recordertest {
namespace {

using namespace std::chrono_literals;

const json kStandbyStopped = {{"type", "standby_stopped"}};

json liveStarted(double rate, double inputRate)
{
    return {{"type", "recording_started"},
            {"sampleRate", rate},
            {"channels", 1},
            {"inputSampleRate", inputRate},
            {"inputSource", "microphone"}};
}

json withPreRoll(json event, double milliseconds)
{
    event["preRollMs"] = milliseconds;
    return event;
}

json standbyStarted(double inputRate, double seconds)
{
    return {{"type", "standby_started"}, {"inputSampleRate", inputRate}, {"seconds", seconds}};
}

// A ramp that repeats every 1000 frames: any gap, repeat or jump in the
// frames shows as a wrong sample.
float ramp(int64_t frame)
{
    return static_cast<float>(frame % 1000) / 1000.0f;
}

class Standby : public ::testing::Test {
protected:
    sim::SimPlatform& sim() { return harness.platform(); }

    void useInputRate(double rate)
    {
        inputRate = rate;
        sim().setInputFormat(audio::Format{audio::CommonFormat::Float32, rate, 1, false});
    }

    // Delivers `buffers` buffers of the ramp, continuing where the last ended.
    // Buffer k comes lateMs[k % size] after its last frame was captured.
    void capture(int buffers, const std::vector<double>& lateMs = {0})
    {
        constexpr uint32_t kRampBufferFrames = 1000;
        for (int b = 0; b < buffers; ++b) {
            std::vector<float> samples(kRampBufferFrames);
            for (uint32_t i = 0; i < kRampBufferFrames; ++i) {
                samples[i] = ramp(captured + i);
            }
            captured += kRampBufferFrames;
            setClockAfterNewest(lateMs[static_cast<size_t>(captured / kRampBufferFrames) % lateMs.size()]);
            ASSERT_TRUE(sim().deliver(samplesBuffer(inputRate, 1, samples)));
        }
    }

    // The clock `ms` after the newest frame was captured; the capture began
    // a second into the clock.
    void setClockAfterNewest(double ms)
    {
        const double seconds = 1.0 + static_cast<double>(captured) / inputRate + ms / 1000.0;
        sim().setClock(std::chrono::nanoseconds(std::llround(seconds * 1e9)));
    }

    // The PCM16 samples of input frames [first, end) converted to
    // `outputRate` by the simulated converter, which takes input frame
    // floor(k * in / out) for output frame k.
    std::vector<int16_t> expectedPcm(int64_t first, int64_t end, double outputRate) const
    {
        std::vector<int16_t> samples;
        for (int64_t k = 0;; ++k) {
            const auto source = first + static_cast<int64_t>(std::floor(static_cast<double>(k) * inputRate / outputRate));
            if (source >= end) {
                return samples;
            }
            samples.push_back(recorder::pcm16FromFloat(ramp(source)));
        }
    }

    RecorderHarness harness;
    double inputRate = 48000.0;
    int64_t captured = 0;
};

TEST_F(Standby, AnswersItsCommandsAndLeavesStartAsItWasWithoutPreRoll)
{
    const struct {
        const char* line;
        json expected;
    } steps[] = {
        {R"({"command":"standby","seconds":0})", kStandbyStopped},
        {R"({"command":"start","preRollMs":300})", withPreRoll(liveStarted(16000, 48000), 0)},
        {R"({"command":"stop"})", kStopped},
        {R"({"command":"standby"})", standbyStarted(48000, 1)},
        {R"({"command":"standby","seconds":2.5})", standbyStarted(48000, 2.5)},
        {R"({"command":"standby","seconds":"2"})", error("decode_failed:invalid_standby_seconds")},
        {R"({"command":"standby","seconds":11})", error("decode_failed:invalid_standby_seconds")},
        {R"({"command":"start","preRollMs":-5})", error("decode_failed:invalid_pre_roll")},
        {R"({"command":"start","preRollMs":"5"})", error("decode_failed:invalid_pre_roll")},
        {R"({"command":"start"})", liveStarted(16000, 48000)},
        {R"({"command":"start","preRollMs":100})",
         json({{"type", "recording_started"}, {"sampleRate", 16000}, {"channels", 1}})},
        {R"({"command":"abort"})", kStopped},
        {R"({"command":"standby","seconds":0})", kStandbyStopped},
        {R"({"command":"standby","seconds":0})", kStandbyStopped},
    };
    for (const auto& step : steps) {
        harness.sendLine(step.line);
        EXPECT_EQ(harness.readEvent(), step.expected) << step.line;
    }
    // One engine for the first recording, one for the whole standby.
    EXPECT_EQ(sim().enginesMade(), 2);
    EXPECT_FALSE(sim().currentEngineRunning());
    EXPECT_TRUE(harness.noLineWithin(20ms));
}

// The held input and the live input meet without a gap, a repeat or a jump,
// at the input's rate and through resampling alike. The recording begins
// the pre-roll before the moment the line came, which lies after the newest
// delivered frame by however long the line came after it.
TEST_F(Standby, TheRecordingCrossesFromHeldToLiveInputSampleExactly)
{
    const struct {
        double inputRate;
        double outputRate;
        double preRollMs;
        double lineLateMs;  // after the newest frame was captured
        double heldMs;      // what the event reports
        std::vector<double> deliveredLateMs = {0};
    } cases[] = {
        {16000, 16000, 300, 0, 300},   {48000, 16000, 250, 0, 250},  {44100, 16000, 100, 0, 100},
        {48000, 16000, 0, 0, 0},       {16000, 16000, 5000, 0, 1000},  // clamped to the one second held
        {48000, 16000, 250, 12.5, 250}, {44100, 16000, 300, 40, 300},
        {16000, 16000, 5, 20, 5},      {48000, 48000, 0, 10, 0},  // begins inside the next buffer
        // Deliveries the server held up do not move the estimate.
        {48000, 16000, 300, 20, 300, {0, 15, 7}}, {16000, 16000, 300, 30, 300, {0, 30, 12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.inputRate << " -> " << c.outputRate << ", " << c.preRollMs << " ms, "
                                        << c.lineLateMs << " ms late");
        captured = 0;
        useInputRate(c.inputRate);
        harness.sendLine(R"({"command":"standby","seconds":1})");
        ASSERT_EQ(harness.readEvent(), standbyStarted(c.inputRate, 1));
        capture(50, c.deliveredLateMs);
        setClockAfterNewest(c.lineLateMs);
        const auto late = std::llround(c.lineLateMs * c.inputRate / 1000.0);
        const auto before = static_cast<int64_t>(std::llround(c.heldMs * c.inputRate / 1000.0));
        const int64_t first = captured + late - before;
        harness.sendLine(json({{"command", "start"}, {"sampleRate", c.outputRate}, {"preRollMs", c.preRollMs}}).dump());
        EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(c.outputRate, c.inputRate), c.heldMs));
        capture(5);
        harness.sendLine(R"({"command":"stop"})");
        EXPECT_EQ(harness.readEvent(), kStopped);
        const auto expected = expectedPcm(first, captured, c.outputRate);
        EXPECT_EQ(samplesOf(harness.readPcm(expected.size() * 2)), expected);
        EXPECT_TRUE(harness.drainPcm().empty());
        harness.sendLine(R"({"command":"standby","seconds":0})");
        EXPECT_EQ(harness.readEvent(), kStandbyStopped);
    }
}

// Standby goes on after the recording: the next one's pre-roll reaches back
// into the first, as the capture never paused.
TEST_F(Standby, OutlivesARecordingAndHoldsInputThroughIt)
{
    useInputRate(16000);
    harness.sendLine(R"({"command":"standby","seconds":1})");
    ASSERT_EQ(harness.readEvent(), standbyStarted(16000, 1));
    capture(10);
    harness.sendLine(R"({"command":"start","preRollMs":100})");
    EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(16000, 16000), 100));
    capture(3);
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_TRUE(sim().currentEngineRunning());
    const auto firstTake = expectedPcm(8400, captured, 16000);
    EXPECT_EQ(samplesOf(harness.readPcm(firstTake.size() * 2)), firstTake);

    capture(1);  // between the two: held, not recorded
    EXPECT_TRUE(harness.drainPcm().empty());
    harness.sendLine(R"({"command":"start","preRollMs":500})");
    EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(16000, 16000), 500));
    capture(1);
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    const auto secondTake = expectedPcm(captured - 1000 - 8000, captured, 16000);
    EXPECT_EQ(samplesOf(harness.readPcm(secondTake.size() * 2)), secondTake);
    EXPECT_EQ(sim().enginesMade(), 1);
}

// A pre-roll that no buffer has carried out yet still reaches descriptor 3
// when the recording stops at once.
TEST_F(Standby, StopRightAfterStartStillWritesThePreRoll)
{
    useInputRate(16000);
    harness.sendLine(R"({"command":"standby"})");
    ASSERT_EQ(harness.readEvent(), standbyStarted(16000, 1));
    capture(4);
    harness.sendLine(R"({"command":"start","preRollMs":200})");
    EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(16000, 16000), 200));
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    const auto expected = expectedPcm(captured - 3200, captured, 16000);
    EXPECT_EQ(samplesOf(harness.readPcm(expected.size() * 2)), expected);
}

TEST_F(Standby, ACaptureLostInStandbyIsReportedAndEndsStandby)
{
    harness.sendLine(R"({"command":"standby"})");
    ASSERT_EQ(harness.readEvent(), standbyStarted(48000, 1));
    EXPECT_TRUE(sim().loseCapture(audio::Error{"sim", 3, "server_gone"}));
    EXPECT_EQ(harness.readEvent(), error("capture_lost:server_gone"));
    harness.sendLine(R"({"command":"start","preRollMs":300})");
    EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(16000, 48000), 0));
    EXPECT_EQ(sim().enginesMade(), 2);
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_FALSE(sim().currentEngineRunning());
}

TEST_F(Standby, AFailedCaptureIsReportedAsAFailedStartIs)
{
    sim().setEngineStartError(audio::Error{"sim", 5, "no input device"});
    harness.sendLine(R"({"command":"standby"})");
    EXPECT_EQ(harness.readEvent(), error("decode_failed:no input device"));
    EXPECT_FALSE(sim().currentEngineRunning());
    sim().setEngineStartError(std::nullopt);
    harness.sendLine(R"({"command":"start","preRollMs":300})");
    EXPECT_EQ(harness.readEvent(), withPreRoll(liveStarted(16000, 48000), 0));
}

// A file plays as it always did while the capture holds input beside it.
TEST_F(Standby, AFixtureRecordingPlaysBesideIt)
{
    sim::SimFileData file;
    file.samples = {std::vector<float>(800)};
    for (size_t i = 0; i < file.samples[0].size(); ++i) {
        file.samples[0][i] = ramp(static_cast<int64_t>(i) * 7);
    }
    sim().addFile("take.wav", file);
    harness.sendLine(R"({"command":"standby"})");
    ASSERT_EQ(harness.readEvent(), standbyStarted(48000, 1));
    capture(2);
    harness.sendLine(R"({"command":"start","fixturePath":"take.wav","preRollMs":300})");
    EXPECT_EQ(harness.readEvent(), json({{"type", "recording_started"},
                                         {"sampleRate", 16000},
                                         {"channels", 1},
                                         {"inputSampleRate", 16000},
                                         {"inputSource", "fixture"},
                                         {"fixtureName", "take.wav"},
                                         {"preRollMs", 0}}));
    EXPECT_EQ(harness.readEvent(), json({{"type", "fixture_finished"}, {"fixtureName", "take.wav"}}));
    std::vector<int16_t> expected;
    for (float sample : file.samples[0]) {
        expected.push_back(recorder::pcm16FromFloat(sample));
    }
    EXPECT_EQ(samplesOf(harness.readPcm(expected.size() * 2)), expected);
    capture(2);
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_TRUE(harness.drainPcm().empty());
    EXPECT_TRUE(sim().currentEngineRunning());
    EXPECT_EQ(sim().enginesMade(), 1);
}

TEST_F(Standby, ABurstOfCommandsKeepsOneCapture)
{
    for (int i = 0; i < 40; ++i) {
        const double seconds = 1 + i % 4;
        harness.sendLine(json({{"command", "standby"}, {"seconds", seconds}}).dump());
        EXPECT_EQ(harness.readEvent(), standbyStarted(48000, seconds));
        capture(1);
    }
    EXPECT_EQ(sim().enginesMade(), 1);
}

TEST_F(Standby, EndOfInputEndsItAfterRecordingStopped)
{
    harness.sendLine(R"({"command":"standby"})");
    ASSERT_EQ(harness.readEvent(), standbyStarted(48000, 1));
    harness.closeInput();
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_TRUE(harness.waitLoopEnded());
    EXPECT_FALSE(sim().currentEngineRunning());
    EXPECT_TRUE(harness.noLineWithin(20ms));
}

}  // namespace
}  // namespace recordertest
