// Live recordings on the simulated microphone: the states, the failures of
// "start", the tap conversion and the faults mended around them.
#include "recorder_harness.h"

#include <gtest/gtest.h>

namespace recordertest {
namespace {

using namespace std::chrono_literals;

json liveStarted(double rate, int64_t channels, double inputRate)
{
    return {{"type", "recording_started"},
            {"sampleRate", rate},
            {"channels", channels},
            {"inputSampleRate", inputRate},
            {"inputSource", "microphone"}};
}

class LiveRecording : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim().setInputFormat(audio::Format{audio::CommonFormat::Float32, 48000.0, 2, false});
    }
    sim::SimPlatform& sim() { return harness.platform(); }

    RecorderHarness harness;
};

TEST_F(LiveRecording, StartsWithDefaultsAndTapsTheMicrophoneFormat)
{
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    const auto tap = sim().lastTap();
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->bus, 0u);
    EXPECT_EQ(tap->bufferSize, 1024u);
    EXPECT_EQ(tap->format, (audio::Format{audio::CommonFormat::Float32, 48000.0, 2, false}));
    EXPECT_TRUE(sim().currentEngineRunning());
}

TEST_F(LiveRecording, NullValuesAndAnEmptyFixturePathMeanDefaultsAndLive)
{
    harness.sendLine(R"({"command":"start","sampleRate":null,"channels":null,"fixturePath":""})");
    EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    EXPECT_EQ(sim().fileOpens(), 0);
}

TEST_F(LiveRecording, ARateWithoutChannelsStartsOneChannel)
{
    harness.sendLine(R"({"command":"start","sampleRate":22050})");
    EXPECT_EQ(harness.readEvent(), liveStarted(22050, 1, 48000));
}

TEST_F(LiveRecording, StartWhileRecordingRepeatsTheRunningParametersOnly)
{
    harness.sendLine(R"({"command":"start","sampleRate":8000,"channels":2})");
    EXPECT_EQ(harness.readEvent(), liveStarted(8000, 2, 48000));
    harness.sendLine(R"({"command":"start","sampleRate":44100,"channels":1})");
    EXPECT_EQ(harness.readEvent(), json({{"type", "recording_started"}, {"sampleRate", 8000}, {"channels", 2}}));
    harness.sendLine(R"({"command":"start","fixturePath":"voice.wav"})");
    EXPECT_EQ(harness.readEvent(), json({{"type", "recording_started"}, {"sampleRate", 8000}, {"channels", 2}}));
    EXPECT_EQ(sim().fileOpens(), 0);
    EXPECT_EQ(sim().enginesMade(), 1);
}

TEST_F(LiveRecording, StopEndsTheCaptureAndAllowsANewStart)
{
    for (const char* word : {"stop", "abort"}) {
        harness.sendLine(R"({"command":"start"})");
        EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
        harness.sendLine(std::string(R"({"command":")") + word + R"("})");
        EXPECT_EQ(harness.readEvent(), kStopped);
        EXPECT_FALSE(sim().currentEngineRunning());
    }
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
}

TEST_F(LiveRecording, EndOfInputStopsALiveRecording)
{
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    harness.closeInput();
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_TRUE(harness.waitLoopEnded());
    EXPECT_FALSE(sim().currentEngineRunning());
}

// A capture that dies is reported once; the recording stays one until the
// host stops it, and nothing of it follows "recording_stopped".
TEST_F(LiveRecording, ACaptureThatDiesIsReportedOnceAndAwaitsStop)
{
    const audio::Error gone{"sim", 7, "device_gone"};
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    EXPECT_TRUE(sim().loseCapture(gone));
    EXPECT_EQ(harness.readEvent(), error("capture_lost:device_gone"));
    EXPECT_FALSE(sim().loseCapture(gone));
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), json({{"type", "recording_started"}, {"sampleRate", 16000}, {"channels", 1}}));
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    EXPECT_FALSE(sim().loseCapture(gone));
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    EXPECT_EQ(sim().enginesMade(), 2);
    EXPECT_TRUE(harness.noLineWithin(20ms));
}

TEST_F(LiveRecording, FailedStartsReportTheirDescriptionAndLeaveTheRecorderIdle)
{
    const struct {
        const char* name;
        std::function<void(sim::SimPlatform&)> fault;
        std::string line;
        std::string expected;
    } cases[] = {
        {"format refused", [](auto& s) { s.refuseOutputFormat(true); }, R"({"command":"start"})",
         "decode_failed:output_format_failed"},
        {"rate the platform refuses", [](auto&) {}, R"({"command":"start","sampleRate":0})",
         "decode_failed:output_format_failed"},
        {"zero channels", [](auto&) {}, R"({"command":"start","channels":0})", "decode_failed:output_format_failed"},
        {"largest count", [](auto&) {}, R"({"command":"start","channels":4294967295})",
         "decode_failed:output_format_failed"},
        {"negative count", [](auto&) {}, R"({"command":"start","channels":-1})",
         "decode_failed:invalid_channel_count"},
        {"count beyond 32 bits", [](auto&) {}, R"({"command":"start","channels":4294967296})",
         "decode_failed:invalid_channel_count"},
        {"converter refused", [](auto& s) { s.refuseConverter(true); }, R"({"command":"start"})",
         "decode_failed:converter_failed"},
        {"engine start", [](auto& s) { s.setEngineStartError(audio::Error{"sim", 5, "no input device"}); },
         R"({"command":"start"})", "decode_failed:no input device"},
        {"engine start without text", [](auto& s) { s.setEngineStartError(audio::Error{"sim", 5, ""}); },
         R"({"command":"start"})", "decode_failed:"},
    };
    for (const auto& c : cases) {
        RecorderHarness local;
        auto& s = local.platform();
        c.fault(s);
        local.sendLine(c.line);
        EXPECT_EQ(local.readEvent(), error(c.expected)) << c.name;
        EXPECT_FALSE(s.currentEngineRunning()) << c.name;
        // Still idle: "stop" is answered, a ping too, and a good start works.
        s.refuseOutputFormat(false);
        s.refuseConverter(false);
        s.setEngineStartError(std::nullopt);
        EXPECT_TRUE(local.eventsBeforePong().empty()) << c.name;
        local.sendLine(R"({"command":"start","sampleRate":16000,"channels":1})");
        EXPECT_EQ(local.readEvent(), liveStarted(16000, 1, 48000)) << c.name;
    }
}

TEST_F(LiveRecording, ConvertsTappedBuffersAndWritesChannelZeroAsPcm16)
{
    harness.sendLine(R"({"command":"start","channels":2})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 2, 48000));
    // Every third input frame survives 48 kHz to 16 kHz in the simulated converter.
    std::vector<float> samples;
    for (int i = 0; i < 12; ++i) {
        samples.push_back(i % 3 == 0 ? static_cast<float>(i) / 16.0f : 9.0f);
    }
    ASSERT_TRUE(sim().deliver(samplesBuffer(48000.0, 2, samples)));
    const auto pcm = harness.readPcm(8);
    EXPECT_EQ(samplesOf(pcm), (std::vector<int16_t>{0, 6143, 12287, 18431}));
    EXPECT_TRUE(harness.drainPcm().empty()) << "more than one sample per frame";
}

// One write per converted buffer, channel 0 only: 2 bytes a frame.
TEST(LiveRecordingWrites, AreOnePerConvertedBufferOfTwoBytesAFrame)
{
#ifndef __linux__
    GTEST_SKIP() << "needs a socket pair that keeps each write a record (AF_UNIX, SOCK_SEQPACKET)";
#endif
    RecorderHarness harness(HarnessOptions{.pcmPackets = true});
    harness.platform().setInputFormat(audio::Format{audio::CommonFormat::Float32, 48000.0, 2, false});
    harness.sendLine(R"({"command":"start","channels":2})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 2, 48000));
    for (uint32_t frames : {1024u, 4800u, 3u, 0u, 30u}) {
        ASSERT_TRUE(harness.platform().deliver(constantBuffer(48000.0, 2, frames, 0.25f)));
    }
    // Every third input frame comes out; the empty buffer writes nothing.
    for (size_t bytes : {684u, 3200u, 2u, 20u}) {
        auto write = harness.readPcmWrite();
        ASSERT_TRUE(write);
        EXPECT_EQ(write->size(), bytes);
    }
    EXPECT_FALSE(harness.readPcmWrite(std::chrono::milliseconds(0))) << "an empty conversion was written";
}

TEST_F(LiveRecording, TheConverterKeepsItsStateAcrossBuffers)
{
    harness.sendLine(R"({"command":"start"})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    // 4 + 5 frames: a stream cut anew for each buffer would give 2 + 2 samples.
    ASSERT_TRUE(sim().deliver(samplesBuffer(48000.0, 1, {0.0f, 0.f, 0.f, 0.25f})));
    ASSERT_TRUE(sim().deliver(samplesBuffer(48000.0, 1, {0.f, 0.f, 0.5f, 0.f, 0.f})));
    EXPECT_EQ(samplesOf(harness.readPcm(6)), (std::vector<int16_t>{0, 8191, 16383}));
}

TEST_F(LiveRecording, TheInputBlockHandsEachBufferOverOncePerConversion)
{
    sim().setExtraPulls(3);
    harness.sendLine(R"({"command":"start"})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    const auto first = constantBuffer(48000.0, 1, 1024, 0.1f);
    const auto second = constantBuffer(48000.0, 1, 0, 0.1f);  // an empty buffer still converts
    ASSERT_TRUE(sim().deliver(first));
    ASSERT_TRUE(sim().deliver(second));
    const auto pulls = sim().pullsPerConvert();
    ASSERT_EQ(pulls.size(), 2u);
    for (size_t call = 0; call < 2; ++call) {
        ASSERT_EQ(pulls[call].size(), 5u) << call;  // the data, the first "no data now", three more
        EXPECT_EQ(pulls[call][0].status, audio::InputStatus::HaveData);
        EXPECT_EQ(pulls[call][0].buffer, (call == 0 ? first : second).get());
        for (size_t i = 1; i < pulls[call].size(); ++i) {
            EXPECT_EQ(pulls[call][i].status, audio::InputStatus::NoDataNow) << call << "/" << i;
            EXPECT_EQ(pulls[call][i].buffer, nullptr);
        }
    }
}

TEST_F(LiveRecording, ConversionErrorsAreEventsAndTheRecordingGoesOn)
{
    const struct {
        audio::OutputStatus status;
        const char* description;  // null: no error object
        std::string expected;
    } cases[] = {
        {audio::OutputStatus::Error, "sim_convert_failed", "sim_convert_failed"},
        {audio::OutputStatus::Error, "", ""},
        {audio::OutputStatus::Error, nullptr, "convert_error"},
        {audio::OutputStatus::HaveData, "late_error", "late_error"},
    };
    for (const auto& c : cases) {
        RecorderHarness local;
        sim::ConvertFault fault{c.status, std::nullopt};
        if (c.description) {
            fault.error = audio::Error{"sim", 7, c.description};
        }
        local.platform().setConvertFault(fault);
        local.sendLine(R"({"command":"start"})");
        ASSERT_EQ(local.readEvent(), liveStarted(16000, 1, 48000));
        for (int i = 0; i < 2; ++i) {  // one event per failing buffer
            ASSERT_TRUE(local.platform().deliver(constantBuffer(48000.0, 1, 1024, 0.1f)));
            EXPECT_EQ(local.readEvent(), error(c.expected)) << c.expected;
        }
        EXPECT_TRUE(local.drainPcm().empty());
        local.platform().setConvertFault(std::nullopt);
        ASSERT_TRUE(local.platform().deliver(constantBuffer(48000.0, 1, 3, 0.5f)));
        EXPECT_EQ(samplesOf(local.readPcm(2)), std::vector<int16_t>{16383});
        local.sendLine(R"({"command":"start"})");
        EXPECT_EQ(local.readEvent(), json({{"type", "recording_started"}, {"sampleRate", 16000}, {"channels", 1}}));
    }
}

TEST_F(LiveRecording, BuffersThatCannotBeSizedOrAllocatedAreDroppedSilently)
{
    harness.sendLine(R"({"command":"start"})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    ASSERT_TRUE(sim().deliver(constantBuffer(0.0, 1, 1024, 0.5f)));  // infinite ratio
    sim().failBufferCreation(true);
    ASSERT_TRUE(sim().deliver(constantBuffer(48000.0, 1, 1024, 0.5f)));
    EXPECT_TRUE(sim().pullsPerConvert().empty()) << "the converter ran";
    EXPECT_TRUE(harness.eventsBeforePong().empty());
    EXPECT_TRUE(harness.drainPcm().empty());
}

TEST_F(LiveRecording, ACapacityBeyond32BitsDropsTheBufferSilently)
{
    harness.sendLine(R"({"command":"start","sampleRate":1e12})");
    ASSERT_EQ(harness.readEvent(), liveStarted(1e12, 1, 48000));
    ASSERT_TRUE(sim().deliver(constantBuffer(48000.0, 1, 1024, 0.5f)));
    EXPECT_TRUE(sim().pullsPerConvert().empty());
    EXPECT_TRUE(harness.eventsBeforePong().empty());
}

TEST_F(LiveRecording, ABufferArrivingAfterTeardownWritesAndSendsNothing)
{
    sim().setConvertFault(sim::ConvertFault{audio::OutputStatus::Error, std::nullopt});
    harness.sendLine(R"({"command":"start"})");
    ASSERT_EQ(harness.readEvent(), liveStarted(16000, 1, 48000));
    harness.sendLine(R"({"command":"stop"})");
    ASSERT_EQ(harness.readEvent(), kStopped);
    const size_t convertsAtStop = sim().pullsPerConvert().size();
    ASSERT_TRUE(sim().deliverToLastTap(constantBuffer(48000.0, 1, 1024, 0.5f)));
    EXPECT_EQ(sim().pullsPerConvert().size(), convertsAtStop);
    EXPECT_TRUE(harness.eventsBeforePong().empty());
}

// A host that closed descriptor 3, or never opened it, still gets a
// working live recording.
TEST(LiveRecordingPcm, AFailingPcmWriteDoesNotEndTheRecording)
{
    for (bool neverOpened : {false, true}) {
        RecorderHarness local(HarnessOptions{.pcmNotOpen = neverOpened});
        local.closePcmReader();
        local.sendLine(R"({"command":"start"})");
        ASSERT_EQ(local.readEvent(), liveStarted(16000, 1, 48000));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(local.platform().deliver(constantBuffer(48000.0, 1, 1024, 0.5f)));
        }
        EXPECT_EQ(local.platform().pullsPerConvert().size(), 3u);
        EXPECT_TRUE(local.platform().currentEngineRunning());
        local.sendLine(R"({"command":"start"})");
        EXPECT_EQ(local.readEvent(), json({{"type", "recording_started"}, {"sampleRate", 16000}, {"channels", 1}}));
        EXPECT_TRUE(local.eventsBeforePong().empty());
    }
}

}  // namespace
}  // namespace recordertest
