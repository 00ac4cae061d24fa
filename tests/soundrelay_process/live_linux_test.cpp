// Live recordings through the real binary from a private PulseAudio daemon
// whose default source is a 440 Hz sine at 48 kHz.
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>

#include <chrono>
#include <fstream>

#include "private_pulse.h"
#include "recorder_process.h"
#include "signal_checks.h"
#include "sound_fixtures.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using recorderprocess::RecorderProcess;

class LiveProcessTest : public ::testing::Test {
protected:
    void startServerAndRecorder()
    {
        std::string error;
        pulse_ = testsupport::PrivatePulse::start({}, &error);
        ASSERT_TRUE(pulse_) << error;
        spawnRecorder(pulse_->clientEnvironment());
    }

    void spawnRecorder(std::vector<std::string> env)
    {
        std::string error;
        recorder_ = RecorderProcess::spawn({std::move(env), true}, &error);
        ASSERT_TRUE(recorder_) << error;
    }

    void TearDown() override { recorderprocess::expectCleanFinish(recorder_); }

    void expectPong()
    {
        ASSERT_TRUE(recorder_->send(json{{"command", "ping"}}));
        EXPECT_EQ(recorder_->waitFor("pong"), json({{"type", "pong"}}));
    }

    void startAndHearAudio()
    {
        ASSERT_TRUE(recorder_->send(json{{"command", "start"}}));
        ASSERT_TRUE(recorder_->waitFor("recording_started"));
        std::vector<uint8_t> pcm;
        ASSERT_GE(recorder_->child().readFd3(pcm, 3200, 5000ms), 3200u);
    }

    // Stops the recording and checks that nothing of it follows the event.
    void stopCleanly()
    {
        ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
        std::vector<json> skipped;
        ASSERT_TRUE(recorder_->waitFor("recording_stopped", 5000ms, &skipped));
        EXPECT_TRUE(skipped.empty()) << skipped.front().dump();
        std::vector<uint8_t> tail;
        recorder_->child().collectFd3For(tail, 20ms);
        const size_t atStop = tail.size();
        recorder_->child().collectFd3For(tail, 400ms);
        EXPECT_EQ(tail.size(), atStop) << "PCM after recording_stopped";
        EXPECT_EQ(recorder_->nextEvent(200ms), std::nullopt);
    }

    std::optional<testsupport::PrivatePulse> pulse_;
    std::optional<RecorderProcess> recorder_;
};

TEST_F(LiveProcessTest, RecordsTheDefaultSourceAtTheRequestedRate)
{
    struct Case {
        double rate;
        int channels;
    };
    const Case cases[] = {{16000, 1}, {8000, 2}, {44100, 1}};
    startServerAndRecorder();
    for (const auto& c : cases) {
        ASSERT_TRUE(recorder_->send(json{{"command", "start"}, {"sampleRate", c.rate}, {"channels", c.channels}}));
        const auto started = recorder_->waitFor("recording_started");
        ASSERT_TRUE(started);
        EXPECT_EQ(*started, json({{"type", "recording_started"},
                                  {"sampleRate", c.rate},
                                  {"channels", c.channels},
                                  {"inputSampleRate", 48000.0},
                                  {"inputSource", "microphone"}}));
        std::vector<uint8_t> pcm;
        recorder_->child().collectFd3For(pcm, 2000ms);
        const auto samples = recorderprocess::floatsOf(recorderprocess::samplesOf(pcm));
        // One sample per frame whatever the channel count, about `rate` a second.
        EXPECT_GT(samples.size(), static_cast<size_t>(c.rate * 2 * 0.8)) << c.rate;
        EXPECT_LT(samples.size(), static_cast<size_t>(c.rate * 2 * 1.25)) << c.rate;
        EXPECT_NEAR(signalchecks::estimatedFrequency(samples, c.rate), 440.0, 10.0) << c.rate;
        stopCleanly();
    }
}

TEST_F(LiveProcessTest, EndOfInputEndsTheRecording)
{
    startServerAndRecorder();
    ASSERT_TRUE(recorder_->send(json{{"command", "start"}}));
    ASSERT_TRUE(recorder_->waitFor("recording_started"));
    std::vector<uint8_t> pcm;
    ASSERT_GT(recorder_->child().readFd3(pcm, 3200, 5000ms), 0u);
    recorder_->child().closeStdin();
    EXPECT_EQ(recorder_->waitFor("recording_stopped"), json({{"type", "recording_stopped"}}));
}

// The server killed mid-recording: one event says so, the recording waits
// for "stop", and a new "start" records again once the server is back.
TEST_F(LiveProcessTest, ReportsTheServerLostOnceAndRecordsAgainAfterStop)
{
    startServerAndRecorder();
    startAndHearAudio();
    ASSERT_TRUE(pulse_->kill());
    EXPECT_EQ(recorder_->nextEvent(5000ms),
              json({{"type", "error"}, {"error", std::string("capture_lost:") + pa_strerror(PA_ERR_CONNECTIONTERMINATED)}}));
    expectPong();
    EXPECT_EQ(recorder_->nextEvent(300ms), std::nullopt);
    stopCleanly();
    std::string error;
    ASSERT_TRUE(pulse_->restart(&error)) << error;
    startAndHearAudio();
    stopCleanly();
}

// The source unloaded mid-recording: reported, not replaced by silence.
TEST_F(LiveProcessTest, ReportsTheSourceVanishing)
{
    startServerAndRecorder();
    startAndHearAudio();
    ASSERT_TRUE(pulse_->removeDefaultSource());
    const auto event = recorder_->nextEvent(5000ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->value("error", "").rfind("capture_lost:", 0), 0u) << event->dump();
    expectPong();
    stopCleanly();
    expectPong();
}

TEST_F(LiveProcessTest, UnreachableServerIsAClearError)
{
    soundfixtures::TempDir dir;
    spawnRecorder({"PULSE_SERVER=unix:" + dir.file("no-server"), "HOME=" + dir.path()});
    ASSERT_TRUE(recorder_->send(json{{"command", "start"}}));
    const auto event = recorder_->nextEvent(10000ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(*event,
              json({{"type", "error"}, {"error", std::string("decode_failed:") + pa_strerror(PA_ERR_CONNECTIONREFUSED)}}));
    expectPong();
    ASSERT_TRUE(recorder_->send(json{{"command", "stop"}}));
    EXPECT_EQ(recorder_->nextEvent(), json({{"type", "recording_stopped"}}));
}

TEST_F(LiveProcessTest, LibraryComplaintsStayOffStandardError)
{
    // The client library finds fault with this configuration file and says so.
    soundfixtures::TempDir dir;
    {
        std::ofstream config(dir.file("client.conf"));
        config << "not a setting\n";
    }
    spawnRecorder({"PULSE_SERVER=unix:" + dir.file("no-server"), "HOME=" + dir.path(),
                   "PULSE_CLIENTCONFIG=" + dir.file("client.conf")});
    ASSERT_TRUE(recorder_->send(json{{"command", "start"}}));
    const auto event = recorder_->nextEvent(10000ms);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->value("error", "").rfind("decode_failed:", 0), 0u);
}

}  // namespace
