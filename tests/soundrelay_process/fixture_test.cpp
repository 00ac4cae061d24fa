// Fixture recordings through the real binary: files written here, samples
// read back from descriptor 3.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>

#include "recorder_process.h"
#include "sound_fixtures.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using recorderprocess::RecorderOptions;
using recorderprocess::RecorderProcess;

class FixtureProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.ok());
        spawn({});
    }

    void spawn(RecorderOptions options)
    {
        // No sound server is needed, nor may one be found by accident.
        options.env.push_back("PULSE_SERVER=unix:" + dir_.file("no-server"));
        options.env.push_back("HOME=" + dir_.path());
        std::string error;
        recorder_ = RecorderProcess::spawn(options, &error);
        ASSERT_TRUE(recorder_) << error;
    }

    // Every test ends with a clean exit and nothing on standard error.
    void TearDown() override { recorderprocess::expectCleanFinish(recorder_); }

    json startFixture(const std::string& name, double rate = 16000, int channels = 1)
    {
        return json{{"command", "start"}, {"fixturePath", dir_.file(name)}, {"sampleRate", rate}, {"channels", channels}};
    }

    void expectPong()
    {
        ASSERT_TRUE(recorder_->send(json{{"command", "ping"}}));
        const auto pong = recorder_->nextEvent();
        ASSERT_TRUE(pong);
        EXPECT_EQ(*pong, json({{"type", "pong"}}));
    }

    soundfixtures::TempDir dir_;
    std::optional<RecorderProcess> recorder_;
};

TEST_F(FixtureProcessTest, ExactSamplesReachDescriptor3)
{
    const std::vector<float> values = {1.0f, -1.0f, 0.5f, -0.5f, 0.0f, 2.0f, -2.0f, 1e-5f, -1e-5f};
    const std::vector<uint8_t> expected = {0xFF, 0x7F, 0x00, 0x80, 0xFF, 0x3F, 0x00, 0xC0, 0x00,
                                           0x00, 0xFF, 0x7F, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF};
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("exact.wav"), 16000, 1, values));
    ASSERT_TRUE(recorder_->send(startFixture("exact.wav")));

    const auto started = recorder_->nextEvent();
    ASSERT_TRUE(started);
    EXPECT_EQ(*started, json({{"type", "recording_started"},
                              {"sampleRate", 16000.0},
                              {"channels", 1},
                              {"inputSampleRate", 16000.0},
                              {"inputSource", "fixture"},
                              {"fixtureName", "exact.wav"}}));
    std::vector<uint8_t> pcm;
    recorder_->child().readFd3(pcm, expected.size(), 5000ms);
    EXPECT_EQ(pcm, expected);
    const auto finished = recorder_->nextEvent();
    ASSERT_TRUE(finished);
    EXPECT_EQ(*finished, json({{"type", "fixture_finished"}, {"fixtureName", "exact.wav"}}));
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    EXPECT_EQ(recorder_->nextEvent(), json({{"type", "recording_stopped"}}));
}

TEST_F(FixtureProcessTest, PlaysInRealTime)
{
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("second.wav"), 16000, 1, std::vector<float>(16000, 0.25f)));
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder_->send(startFixture("second.wav")));
    ASSERT_TRUE(recorder_->waitFor("recording_started"));
    std::vector<uint8_t> pcm;
    recorder_->child().readFd3(pcm, 32000, 10000ms);
    ASSERT_TRUE(recorder_->waitFor("fixture_finished", 10000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms);
    EXPECT_EQ(pcm.size(), 32000u);
}

TEST_F(FixtureProcessTest, RefusesFilesOfAnotherFormat)
{
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("mono16k.wav"), 16000, 1, std::vector<float>(1600, 0.1f)));
    struct Case {
        double rate;
        int channels;
        bool plays;
    };
    const Case cases[] = {{44100, 1, false}, {16000, 2, false}, {16000, 0, false},
                          {16000.5, 1, false}, {15999.6, 1, true}};
    for (const auto& c : cases) {
        ASSERT_TRUE(recorder_->send(startFixture("mono16k.wav", c.rate, c.channels)));
        const auto event = recorder_->nextEvent();
        ASSERT_TRUE(event);
        if (c.plays) {
            EXPECT_EQ(event->value("type", ""), "recording_started") << c.rate;
            EXPECT_EQ(event->value("inputSampleRate", 0.0), 16000.0);
            ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
            ASSERT_TRUE(recorder_->waitFor("recording_stopped"));
        } else {
            EXPECT_EQ(*event, json({{"type", "error"}, {"error", "decode_failed:fixture_format_mismatch"}}))
                << c.rate << " Hz, " << c.channels << " channels";
        }
        expectPong();
    }
}

TEST_F(FixtureProcessTest, StereoFileWritesChannelZeroOnly)
{
    std::vector<float> frames;
    for (int i = 0; i < 800; ++i) {
        frames.push_back(0.5f);
        frames.push_back(-0.5f);
    }
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("stereo.wav"), 16000, 2, frames));
    ASSERT_TRUE(recorder_->send(startFixture("stereo.wav", 16000, 2)));
    const auto started = recorder_->nextEvent();
    ASSERT_TRUE(started);
    EXPECT_EQ(started->value("channels", 0), 2);
    ASSERT_TRUE(recorder_->waitFor("fixture_finished"));
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    ASSERT_TRUE(recorder_->waitFor("recording_stopped"));
    std::vector<uint8_t> pcm;
    recorder_->child().readFd3(pcm, 1600 + 1, 500ms);
    const auto samples = recorderprocess::samplesOf(pcm);
    ASSERT_EQ(samples.size(), 800u);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 16383; }));
}

TEST_F(FixtureProcessTest, EmptyFileFinishesWithoutSamples)
{
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("empty.wav"), 16000, 1, {}));
    ASSERT_TRUE(recorder_->send(startFixture("empty.wav")));
    const auto started = recorder_->nextEvent();
    ASSERT_TRUE(started);
    EXPECT_EQ(started->value("type", ""), "recording_started");
    const auto finished = recorder_->nextEvent();
    ASSERT_TRUE(finished);
    EXPECT_EQ(*finished, json({{"type", "fixture_finished"}, {"fixtureName", "empty.wav"}}));
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    ASSERT_TRUE(recorder_->waitFor("recording_stopped"));
    std::string stderrText;
    EXPECT_EQ(recorder_->finish(stderrText), 0);
    std::vector<uint8_t> pcm;
    recorder_->child().readFd3(pcm, 1, 2000ms);
    EXPECT_TRUE(pcm.empty());
}

TEST_F(FixtureProcessTest, MissingFileIsReportedWithTheLibrarysDescription)
{
    ASSERT_TRUE(recorder_->send(startFixture("absent.wav")));
    const auto event = recorder_->nextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->value("type", ""), "error");
    const std::string text = event->value("error", "");
    EXPECT_EQ(text.rfind("decode_failed:", 0), 0u) << text;
    EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
    expectPong();
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    EXPECT_EQ(recorder_->nextEvent(), json({{"type", "recording_stopped"}}));
}

TEST_F(FixtureProcessTest, StopMidPlaybackIsFinal)
{
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir_.file("long.wav"), 16000, 1, std::vector<float>(48000, 0.25f)));
    ASSERT_TRUE(recorder_->send(startFixture("long.wav")));
    ASSERT_TRUE(recorder_->waitFor("recording_started"));
    std::vector<uint8_t> pcm;
    // Somewhere inside the second chunk.
    ASSERT_GE(recorder_->child().readFd3(pcm, 3300, 5000ms), 3300u);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    std::vector<json> skipped;
    ASSERT_TRUE(recorder_->waitFor("recording_stopped", 5000ms, &skipped));
    // Far sooner than the 2.8 s of audio left to play.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1000ms);
    EXPECT_TRUE(skipped.empty());

    // What was written before the event is in the pipe already; nothing may follow.
    recorder_->child().collectFd3For(pcm, 20ms);
    const size_t atStop = pcm.size();
    recorder_->child().collectFd3For(pcm, 400ms);
    EXPECT_EQ(pcm.size(), atStop);
    EXPECT_LT(atStop, 96000u);
    EXPECT_EQ(recorder_->nextEvent(300ms), std::nullopt);
}

TEST(FixtureProcess, ClosedOrMissingDescriptor3FailsThePlaybackOnly)
{
    for (const bool openedThenClosed : {true, false}) {
        soundfixtures::TempDir dir;
        ASSERT_TRUE(soundfixtures::writeFloatWav(dir.file("a.wav"), 16000, 1, std::vector<float>(3200, 0.25f)));
        std::string error;
        auto recorder = RecorderProcess::spawn(
            {{"PULSE_SERVER=unix:" + dir.file("no-server"), "HOME=" + dir.path()}, openedThenClosed}, &error);
        ASSERT_TRUE(recorder) << error;
        if (openedThenClosed) {
            recorder->child().closeFd3();
        }
        ASSERT_TRUE(recorder->send(json{{"command", "start"}, {"fixturePath", dir.file("a.wav")}}));
        ASSERT_TRUE(recorder->waitFor("recording_started"));
        const auto failed = recorder->nextEvent();
        ASSERT_TRUE(failed);
        EXPECT_EQ(*failed, json({{"type", "error"}, {"error", "fixture_pcm_write_failed"}}))
            << (openedThenClosed ? "closed by the host" : "never opened");
        ASSERT_TRUE(recorder->send(json{{"command", "ping"}}));
        EXPECT_EQ(recorder->nextEvent(), json({{"type", "pong"}}));
        std::string stderrText;
        EXPECT_EQ(recorder->finish(stderrText), 0);
        EXPECT_EQ(stderrText, "");
    }
}

// The pipes the recorder's libraries open must not take the place of a
// closed standard input: it is end of input, and the recorder ends at once.
TEST(RecorderProcessStart, AClosedStandardInputIsEndOfInput)
{
    soundfixtures::TempDir dir;
    std::string error;
    auto recorder = RecorderProcess::spawn(
        {{"PULSE_SERVER=unix:" + dir.file("no-server"), "HOME=" + dir.path()}, false, false}, &error);
    ASSERT_TRUE(recorder) << error;
    EXPECT_EQ(recorder->nextEvent(), json({{"type", "recording_stopped"}}));
    std::string stderrText;
    EXPECT_EQ(recorder->finish(stderrText), 0);
    EXPECT_EQ(stderrText, "");
}

}  // namespace
