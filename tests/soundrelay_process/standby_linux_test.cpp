// Standby through the real binary against a private PulseAudio daemon and a
// private PipeWire, each with a 440 Hz sine at 48 kHz in the default source.
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>

#include <cmath>
#include <numbers>

#include "private_pipewire.h"
#include "private_pulse.h"
#include "recorder_process.h"
#include "signal_checks.h"
#include "sine_player.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using recorderprocess::RecorderProcess;

constexpr double kRate = 16000.0;
constexpr double kTone = 440.0;

json started(double preRollMs)
{
    return {{"type", "recording_started"}, {"sampleRate", kRate},           {"channels", 1},
            {"inputSampleRate", 48000},   {"inputSource", "microphone"}, {"preRollMs", preRollMs}};
}

// How far each sample strays from what the two before it predict for a pure
// tone, relative to the tone's peak: a gap, a repeat or a phase jump shows
// as a stray of the order of the peak itself.
double worstStray(const std::vector<float>& samples, size_t from, size_t to)
{
    const double twoCos = 2.0 * std::cos(2.0 * std::numbers::pi * kTone / kRate);
    double peak = 0.0;
    double worst = 0.0;
    for (size_t n = from; n < to; ++n) {
        peak = std::max(peak, std::fabs(double{samples[n]}));
        const double predicted = twoCos * samples[n - 1] - samples[n - 2];
        worst = std::max(worst, std::fabs(samples[n] - predicted));
    }
    return peak > 0.0 ? worst / peak : 1.0;
}

enum class Server { PulseAudio, PipeWire };

class StandbyProcessTest : public ::testing::TestWithParam<Server> {
protected:
    void SetUp() override
    {
        std::string error;
        std::vector<std::string> environment;
        if (GetParam() == Server::PipeWire) {
            pipewire_ = testsupport::PrivatePipewire::start(&error);
            ASSERT_TRUE(pipewire_) << error;
            sine_ = testsupport::SinePlayer::start(pipewire_->serverAddress(), "tone", &error);
            ASSERT_TRUE(sine_) << error;
            environment = pipewire_->clientEnvironment();
        } else {
            pulse_ = testsupport::PrivatePulse::start({}, &error);
            ASSERT_TRUE(pulse_) << error;
            environment = pulse_->clientEnvironment();
        }
        recorder_ = RecorderProcess::spawn({environment, true}, &error);
        ASSERT_TRUE(recorder_) << error;
    }

    void TearDown() override { recorderprocess::expectCleanFinish(recorder_); }

    void enterStandby()
    {
        ASSERT_TRUE(recorder_->send(json{{"command", "standby"}, {"seconds", 1}}));
        EXPECT_EQ(recorder_->nextEvent(),
                  json({{"type", "standby_started"}, {"inputSampleRate", 48000}, {"seconds", 1}}));
        // Standby is silent on both channels while it fills the ring.
        std::vector<uint8_t> pcm;
        recorder_->child().collectFd3For(pcm, 600ms);
        EXPECT_TRUE(pcm.empty());
        EXPECT_EQ(recorder_->nextEvent(1ms), std::nullopt);
    }

    std::vector<float> record(double preRollMs, std::chrono::milliseconds length)
    {
        EXPECT_TRUE(recorder_->send(json{{"command", "start"}, {"preRollMs", preRollMs}}));
        EXPECT_EQ(recorder_->nextEvent(), started(preRollMs));
        std::vector<uint8_t> pcm;
        recorder_->child().collectFd3For(pcm, length);
        EXPECT_TRUE(recorder_->send(json{{"command", "stop"}}));
        EXPECT_EQ(recorder_->nextEvent(), json({{"type", "recording_stopped"}}));
        recorder_->child().collectFd3For(pcm, 50ms);
        return recorderprocess::floatsOf(recorderprocess::samplesOf(pcm));
    }

    std::optional<testsupport::PrivatePulse> pulse_;
    std::optional<testsupport::PrivatePipewire> pipewire_;
    std::optional<testsupport::SinePlayer> sine_;  // into PipeWire's null sink
    std::optional<RecorderProcess> recorder_;
};

std::string serverName(const testing::TestParamInfo<Server>& info)
{
    return info.param == Server::PipeWire ? "PipeWire" : "PulseAudio";
}

// Only PulseAudio's daemon can be killed and brought back on its socket.
class StandbyLostServerTest : public StandbyProcessTest {};

// The pre-roll is there at once, and the tone runs through the seam between
// held and live input as if the recording had always been running.
TEST_P(StandbyProcessTest, PreRollJoinsTheLiveCaptureWithoutASeam)
{
    enterStandby();
    for (double preRollMs : {300.0, 100.0}) {
        const auto samples = record(preRollMs, 700ms);
        const auto held = static_cast<size_t>(preRollMs * kRate / 1000.0);
        ASSERT_GT(samples.size(), held + static_cast<size_t>(0.5 * kRate)) << preRollMs;
        // The converter settles from silence in its first milliseconds and
        // fades out in its last; the seam lies well between them. A tone
        // played into PipeWire's null sink drops a few milliseconds now and
        // then on a busy machine, so there the tone need only be heard.
        if (GetParam() == Server::PulseAudio) {
            EXPECT_LT(worstStray(samples, 400, samples.size() - 200), 0.002) << preRollMs;
        } else {
            EXPECT_GT(signalchecks::rms(samples, 400, samples.size() - 200), 0.2) << preRollMs;
        }
    }
    EXPECT_EQ(recorder_->nextEvent(200ms), std::nullopt);
    ASSERT_TRUE(recorder_->send(json{{"command", "standby"}, {"seconds", 0}}));
    EXPECT_EQ(recorder_->nextEvent(), json({{"type", "standby_stopped"}}));
}

// The server gone during standby: reported as a lost capture, and standby is
// over; a start once the server is back records from then on.
TEST_P(StandbyLostServerTest, ALostServerEndsStandby)
{
    enterStandby();
    ASSERT_TRUE(pulse_->kill());
    EXPECT_EQ(recorder_->nextEvent(5000ms),
              json({{"type", "error"}, {"error", std::string("capture_lost:") + pa_strerror(PA_ERR_CONNECTIONTERMINATED)}}));
    std::string error;
    ASSERT_TRUE(pulse_->restart(&error)) << error;
    const auto samples = record(0.0, 500ms);
    EXPECT_GT(samples.size(), static_cast<size_t>(0.2 * kRate));
    ASSERT_TRUE(recorder_->send(json{{"command", "start"}, {"preRollMs", 300}}));
    EXPECT_EQ(recorder_->nextEvent(), started(0));
}

INSTANTIATE_TEST_SUITE_P(Servers, StandbyProcessTest, testing::Values(Server::PulseAudio, Server::PipeWire),
                         serverName);
INSTANTIATE_TEST_SUITE_P(Servers, StandbyLostServerTest, testing::Values(Server::PulseAudio), serverName);

}  // namespace
