// Fixture recordings: a file played in real time in place of the microphone.
#include "recorder_harness.h"

#include <gtest/gtest.h>

namespace recordertest {
namespace {

using namespace std::chrono_literals;

json fixtureStarted(double rate, int64_t channels, double inputRate, const std::string& name)
{
    return {{"type", "recording_started"}, {"sampleRate", rate},       {"channels", channels},
            {"inputSampleRate", inputRate}, {"inputSource", "fixture"}, {"fixtureName", name}};
}

json finished(const std::string& name)
{
    return {{"type", "fixture_finished"}, {"fixtureName", name}};
}

json shortStarted(double rate, int64_t channels)
{
    return {{"type", "recording_started"}, {"sampleRate", rate}, {"channels", channels}};
}

// A ramp of `frames` distinct values per channel, channel c offset by c/4.
sim::SimFileData rampFile(double rate, uint32_t channels, size_t frames)
{
    sim::SimFileData data;
    data.processingFormat = audio::Format{audio::CommonFormat::Float32, rate, channels, false};
    for (uint32_t c = 0; c < channels; ++c) {
        std::vector<float> samples(frames);
        for (size_t i = 0; i < frames; ++i) {
            samples[i] = static_cast<float>(i % 1000) / 2000.0f + static_cast<float>(c) / 4.0f;
        }
        data.samples.push_back(samples);
    }
    return data;
}

std::vector<int16_t> expectedChannelZero(size_t frames)
{
    std::vector<int16_t> out;
    for (size_t i = 0; i < frames; ++i) {
        out.push_back(static_cast<int16_t>(static_cast<float>(i % 1000) / 2000.0f * 32767.0f));
    }
    return out;
}

class FixtureRecording : public ::testing::Test {
protected:
    sim::SimPlatform& sim() { return harness.platform(); }
    RecorderHarness harness;
};

// Below 10 Hz a tenth of a second holds no whole frame; the file is still
// played to its last frame before it is reported finished.
TEST(FixtureBelowTenHertz, PlaysEveryFrameBeforeItFinishes)
{
    const struct {
        double rate;
        size_t frames;
    } cases[] = {{4.0, 3}, {9.5, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        RecorderHarness harness;
        harness.platform().addFile("slow.wav", rampFile(c.rate, 1, c.frames));
        harness.sendLine(json({{"command", "start"}, {"sampleRate", c.rate}, {"fixturePath", "slow.wav"}}).dump());
        EXPECT_EQ(harness.readEvent(), fixtureStarted(c.rate, 1, c.rate, "slow.wav"));
        EXPECT_EQ(samplesOf(harness.readPcm(c.frames * 2)), expectedChannelZero(c.frames));
        EXPECT_EQ(harness.readEvent(), finished("slow.wav"));
        EXPECT_TRUE(harness.drainPcm().empty());
    }
}

TEST_F(FixtureRecording, PlaysTheFileThenReportsItFinished)
{
    sim().addFile("takes/monday/voice.wav", rampFile(16000.0, 1, 4000));
    harness.sendLine(R"({"command":"start","fixturePath":"takes/monday/voice.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "voice.wav"));
    EXPECT_EQ(samplesOf(harness.readPcm(8000)), expectedChannelZero(4000));
    EXPECT_EQ(harness.readEvent(), finished("voice.wav"));
    EXPECT_TRUE(harness.drainPcm().empty());
    EXPECT_EQ(sim().enginesMade(), 0);
    // Still recording until "stop".
    harness.sendLine(R"({"command":"start","fixturePath":"takes/monday/voice.wav"})");
    EXPECT_EQ(harness.readEvent(), shortStarted(16000, 1));
    EXPECT_EQ(sim().fileOpens(), 1);
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
}

// One write per chunk of a tenth of a second, the fraction of a frame lost.
TEST(FixtureChunks, AreATenthOfASecondEachWithAShorterLastOne)
{
#ifndef __linux__
    GTEST_SKIP() << "needs a socket pair that keeps each write a record (AF_UNIX, SOCK_SEQPACKET)";
#endif
    const struct {
        double rate;
        size_t frames;
        std::vector<size_t> writes;  // in bytes
    } cases[] = {
        {16000.0, 4000, {3200, 3200, 1600}},
        {11025.0, 2300, {2204, 2204, 192}},
        {8000.0, 800, {1600}},
    };
    for (const auto& c : cases) {
        RecorderHarness harness(HarnessOptions{.pcmPackets = true});
        harness.platform().addFile("f.wav", rampFile(c.rate, 1, c.frames));
        harness.sendLine(R"({"command":"start","fixturePath":"f.wav","sampleRate":)" + std::to_string(c.rate) + "}");
        ASSERT_EQ(harness.readEvent(), fixtureStarted(c.rate, 1, c.rate, "f.wav")) << c.rate;
        std::vector<size_t> writes;
        for (size_t i = 0; i < c.writes.size(); ++i) {
            auto write = harness.readPcmWrite();
            ASSERT_TRUE(write) << c.rate;
            writes.push_back(write->size());
        }
        EXPECT_EQ(writes, c.writes) << c.rate;
        EXPECT_EQ(harness.readEvent(), finished("f.wav")) << c.rate;
        EXPECT_FALSE(harness.readPcmWrite(std::chrono::milliseconds(0))) << c.rate;
    }
}

TEST_F(FixtureRecording, AfterStopAnotherFixturePlays)
{
    sim().addFile("a.wav", rampFile(16000.0, 1, 10));
    sim().addFile("b.wav", rampFile(16000.0, 1, 20));
    harness.sendLine(R"({"command":"start","fixturePath":"a.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "a.wav"));
    EXPECT_EQ(harness.readEvent(), finished("a.wav"));
    harness.sendLine(R"({"command":"stop"})");
    EXPECT_EQ(harness.readEvent(), kStopped);
    harness.sendLine(R"({"command":"start","fixturePath":"b.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "b.wav"));
    EXPECT_EQ(harness.readEvent(), finished("b.wav"));
    EXPECT_EQ(harness.readPcm(60).size(), 60u);
}

TEST_F(FixtureRecording, AnEmptyFileStartsAndFinishesWithoutPcm)
{
    sim().addFile("empty.wav", rampFile(16000.0, 1, 0));
    harness.sendLine(R"({"command":"start","fixturePath":"empty.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "empty.wav"));
    EXPECT_EQ(harness.readEvent(), finished("empty.wav"));
    EXPECT_TRUE(harness.drainPcm().empty());
}

TEST_F(FixtureRecording, AStereoFileWithTwoChannelsWritesChannelZeroOnly)
{
    sim().addFile("stereo.wav", rampFile(16000.0, 2, 100));
    harness.sendLine(R"({"command":"start","fixturePath":"stereo.wav","channels":2})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 2, 16000, "stereo.wav"));
    EXPECT_EQ(harness.readEvent(), finished("stereo.wav"));
    EXPECT_EQ(samplesOf(harness.drainPcm()), expectedChannelZero(100));
}

TEST_F(FixtureRecording, ARateWithinHalfAHertzPlaysAndIsReported)
{
    sim().addFile("near.wav", rampFile(16000.4, 1, 10));
    harness.sendLine(R"({"command":"start","fixturePath":"near.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000.4, "near.wav"));
}

TEST(FixtureStart, RefusesFilesThatDoNotFitTheRequest)
{
    const struct {
        const char* name;
        audio::Format format;
        std::string line;
    } cases[] = {
        {"rate off by half a hertz", {audio::CommonFormat::Float32, 16000.5, 1, false}, R"({"command":"start"%})"},
        {"rate below", {audio::CommonFormat::Float32, 15999.5, 1, false}, R"({"command":"start"%})"},
        {"other rate", {audio::CommonFormat::Float32, 44100.0, 1, false}, R"({"command":"start"%})"},
        {"stereo for one channel", {audio::CommonFormat::Float32, 16000.0, 2, false}, R"({"command":"start"%})"},
        {"interleaved", {audio::CommonFormat::Float32, 16000.0, 1, true}, R"({"command":"start"%})"},
        {"16-bit samples", {audio::CommonFormat::Int16, 16000.0, 1, false}, R"({"command":"start"%})"},
        {"negative count", {audio::CommonFormat::Float32, 16000.0, 1, false}, R"({"command":"start","channels":-1%})"},
        {"count beyond 32 bits", {audio::CommonFormat::Float32, 16000.0, 1, false},
         R"({"command":"start","channels":4294967297%})"},
    };
    for (const auto& c : cases) {
        RecorderHarness harness;
        auto data = rampFile(16000.0, 1, 10);
        data.processingFormat = c.format;
        harness.platform().addFile("f.wav", data);
        std::string line = c.line;
        line.replace(line.find('%'), 1, R"(,"fixturePath":"f.wav")");
        harness.sendLine(line);
        EXPECT_EQ(harness.readEvent(), error("decode_failed:fixture_format_mismatch")) << c.name;
        // Not recording: a live start begins instead of the short reply.
        harness.sendLine(R"({"command":"start"})");
        const auto event = harness.readEvent();
        ASSERT_TRUE(event) << c.name;
        EXPECT_EQ((*event)["inputSource"], "microphone") << c.name;
    }
}

TEST_F(FixtureRecording, AMissingFileReportsTheOpeningError)
{
    harness.sendLine(R"({"command":"start","fixturePath":"missing.wav"})");
    EXPECT_EQ(harness.readEvent(), error("decode_failed:sim_file_not_found"));
    harness.sendLine(R"({"command":"start","sampleRate":8000})");
    const auto event = harness.readEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["inputSource"], "microphone");
}

TEST_F(FixtureRecording, AFixtureStartEndsALeftoverFailedLiveStart)
{
    sim().setEngineStartError(audio::Error{"sim", 3, "busy"});
    sim().addFile("a.wav", rampFile(16000.0, 1, 10));
    harness.sendLine(R"({"command":"start"})");
    EXPECT_EQ(harness.readEvent(), error("decode_failed:busy"));
    const int removals = sim().removeTapCalls();
    harness.sendLine(R"({"command":"start","fixturePath":"a.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "a.wav"));
    EXPECT_EQ(sim().removeTapCalls(), removals + 1);
}

TEST(FixturePlayback, TaskFailuresAreEventsAndTheRecordingStays)
{
    const struct {
        const char* name;
        std::function<void(sim::SimPlatform&, sim::SimFileData&)> fault;
        HarnessOptions options;
        std::string expected;
        size_t pcmBytes;
    } cases[] = {
        {"buffer", [](auto& s, auto&) { s.failBufferCreation(true); }, {}, "fixture_buffer_failed", 0},
        {"read at once", [](auto&, auto& f) { f.failReadAtFrame = 0; f.readErrorDescription = "disk gone"; }, {},
         "fixture_read_failed:disk gone", 0},
        {"read later", [](auto&, auto& f) { f.failReadAtFrame = 1600; f.readErrorDescription = ""; }, {},
         "fixture_read_failed:", 3200},
        {"pcm never opened", [](auto&, auto&) {}, HarnessOptions{.pcmNotOpen = true}, "fixture_pcm_write_failed", 0},
    };
    for (const auto& c : cases) {
        RecorderHarness harness(c.options);
        auto data = rampFile(16000.0, 1, 4000);
        c.fault(harness.platform(), data);
        harness.platform().addFile("f.wav", data);
        harness.sendLine(R"({"command":"start","fixturePath":"f.wav"})");
        EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "f.wav")) << c.name;
        EXPECT_EQ(harness.readEvent(), error(c.expected)) << c.name;
        EXPECT_EQ(harness.drainPcm().size(), c.pcmBytes) << c.name;
        harness.sendLine(R"({"command":"start"})");
        EXPECT_EQ(harness.readEvent(), shortStarted(16000, 1)) << c.name;
        harness.sendLine(R"({"command":"stop"})");
        EXPECT_EQ(harness.readEvent(), kStopped) << c.name;
    }
}

TEST(FixturePlayback, AClosedPcmReaderEndsThePlaybackWithAnError)
{
    RecorderHarness harness;
    harness.platform().addFile("f.wav", rampFile(16000.0, 1, 4000));
    harness.closePcmReader();
    harness.sendLine(R"({"command":"start","fixturePath":"f.wav"})");
    EXPECT_EQ(harness.readEvent(), fixtureStarted(16000, 1, 16000, "f.wav"));
    EXPECT_EQ(harness.readEvent(), error("fixture_pcm_write_failed"));
    EXPECT_TRUE(harness.eventsBeforePong().empty());
}

}  // namespace
}  // namespace recordertest
