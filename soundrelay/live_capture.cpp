// "start", "stop" and the teardown of a recording.
#include "recorder_helper.h"

namespace recorder {

namespace {

constexpr uint32_t kTapBus = 0;
constexpr uint32_t kTapBufferFrames = 1024;

audio::Error recorderError(int64_t code, std::string description)
{
    return audio::Error{"RecorderHelper", code, std::move(description)};
}

}  // namespace

std::optional<audio::Error> RecorderHelper::start(double sampleRate, int64_t channels,
                                                  const std::optional<std::string>& fixturePath)
{
    if (isRecording_) {
        send(Event{{"type", std::string("recording_started")},
                   {"sampleRate", currentSampleRate_},
                   {"channels", currentChannels_}});
        return std::nullopt;
    }
    if (fixturePath && !fixturePath->empty()) {
        return startFixture(*fixturePath, sampleRate, channels);
    }
    return startLive(sampleRate, channels);
}

std::optional<audio::Error> RecorderHelper::startLive(double sampleRate, int64_t channels)
{
    teardownEngine();
    pcmCancel_.lower();
    engine_ = platform_.makeEngine();
    audio::InputNode& input = engine_->inputNode();
    const audio::Format inputFormat = input.inputFormat(kTapBus);

    // A channel count is 32 bits wide; other values cannot name one.
    if (channels < 0 || channels > int64_t{UINT32_MAX}) {
        return recorderError(-4, "invalid_channel_count");
    }
    const auto outputFormat =
        platform_.makeFormat(audio::CommonFormat::Float32, sampleRate, static_cast<uint32_t>(channels), false);
    if (!outputFormat) {
        return recorderError(-1, "output_format_failed");
    }
    auto converter = platform_.makeConverter(inputFormat, *outputFormat);
    if (!converter) {
        return recorderError(-2, "converter_failed");
    }

    currentSampleRate_ = sampleRate;
    currentChannels_ = channels;
    {
        std::lock_guard lock(gate_->mutex);
        outputFormat_ = outputFormat;
        converter_ = std::move(converter);
    }
    input.removeTap(kTapBus);
    input.installTap(kTapBus, kTapBufferFrames, inputFormat, makeTapBlock());

    engine_->setFailureBlock(makeFailureBlock());
    engine_->prepare();
    if (auto failure = engine_->start()) {
        return failure;
    }
    isRecording_ = true;
    send(Event{{"type", std::string("recording_started")},
               {"sampleRate", sampleRate},
               {"channels", channels},
               {"inputSampleRate", inputFormat.sampleRate},
               {"inputSource", std::string("microphone")}});
    return std::nullopt;
}

audio::TapBlock RecorderHelper::makeTapBlock()
{
    return [gate = gate_](const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime&) {
        std::lock_guard lock(gate->mutex);
        if (gate->helper && buffer) {
            gate->helper->process(buffer);
        }
    };
}

// A recording whose capture died says so; it stays a recording until the
// host answers with "stop", like other failures of the audio path.
audio::FailureBlock RecorderHelper::makeFailureBlock()
{
    return [gate = gate_](const audio::Error& error) {
        std::lock_guard lock(gate->mutex);
        if (gate->helper) {
            gate->helper->send(errorEvent("capture_lost:" + error.description));
        }
    };
}

void RecorderHelper::stop()
{
    const bool wasRecording = isRecording_;
    teardownEngine(wasRecording);
    if (wasRecording) {
        isRecording_ = false;
    }
    send(Event{{"type", std::string("recording_stopped")}});
}

// Order matters: PCM writes are cancelled first, so that the waits below
// end even when descriptor 3 is full; then the playback task and the tap are
// stopped, and waited for, before the converter is drained and it and the
// format are released. Nothing of the recording reaches descriptor 3 or
// standard output after this returns.
void RecorderHelper::teardownEngine(bool keepHeldBack)
{
    pcmCancel_.raise();
    if (playback_) {
        playback_->cancel();
        playback_->waitFinished();
        playback_.reset();
    }
    if (engine_) {
        // Not under the gate: the platform's removeTap may wait for a tap
        // block, and the block takes the gate.
        engine_->inputNode().removeTap(kTapBus);
        if (engine_->isRunning()) {
            engine_->stop();
        }
        engine_->reset();
        engine_.reset();
    }
    // Waits for a tap block still in flight on a platform whose removeTap
    // does not; later blocks find the fields empty.
    std::lock_guard lock(gate_->mutex);
    if (keepHeldBack) {
        drainConverter();
    }
    converter_.reset();
    outputFormat_.reset();
}

}  // namespace recorder
