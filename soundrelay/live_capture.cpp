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
                                                  const std::optional<std::string>& fixturePath,
                                                  std::optional<double> preRollMs)
{
    if (isRecording_) {
        send(Event{{"type", std::string("recording_started")},
                   {"sampleRate", currentSampleRate_},
                   {"channels", currentChannels_}});
        return std::nullopt;
    }
    if (fixturePath && !fixturePath->empty()) {
        return startFixture(*fixturePath, sampleRate, channels, preRollMs.has_value());
    }
    if (standbyRunning()) {
        return startFromStandby(sampleRate, channels, preRollMs);
    }
    return startLive(sampleRate, channels, preRollMs);
}

Event RecorderHelper::liveStarted(double sampleRate, int64_t channels, double inputSampleRate)
{
    return Event{{"type", std::string("recording_started")},
                 {"sampleRate", sampleRate},
                 {"channels", channels},
                 {"inputSampleRate", inputSampleRate},
                 {"inputSource", std::string("microphone")}};
}

std::optional<audio::Error> RecorderHelper::startLive(double sampleRate, int64_t channels,
                                                      std::optional<double> preRollMs)
{
    teardownEngine();
    pcmCancel_.lower();
    captureLost_ = false;
    engine_ = platform_.makeEngine();
    audio::InputNode& input = engine_->inputNode();
    const audio::Format inputFormat = input.inputFormat(kTapBus);

    std::optional<audio::Error> failure;
    auto path = makeRecordingPath(inputFormat, sampleRate, channels, failure);
    if (!path) {
        return failure;
    }
    currentSampleRate_ = sampleRate;
    currentChannels_ = channels;
    {
        std::lock_guard lock(gate_->mutex);
        outputFormat_ = path->outputFormat;
        converter_ = std::move(path->converter);
    }
    input.removeTap(kTapBus);
    input.installTap(kTapBus, kTapBufferFrames, inputFormat, makeTapBlock());

    engine_->setFailureBlock(makeFailureBlock());
    engine_->prepare();
    if (auto startFailure = engine_->start()) {
        return startFailure;
    }
    captureFormat_ = inputFormat;
    isRecording_ = true;
    liveRecording_ = true;
    Event started = liveStarted(sampleRate, channels, inputFormat.sampleRate);
    // Nothing is held without standby, so nothing comes before the start.
    if (preRollMs) {
        started.emplace_back("preRollMs", int64_t{0});
    }
    send(started);
    return std::nullopt;
}

std::optional<RecorderHelper::RecordingPath> RecorderHelper::makeRecordingPath(const audio::Format& inputFormat,
                                                                               double sampleRate, int64_t channels,
                                                                               std::optional<audio::Error>& failure)
{
    // A channel count is 32 bits wide; other values cannot name one.
    if (channels < 0 || channels > int64_t{UINT32_MAX}) {
        failure = recorderError(-4, "invalid_channel_count");
        return std::nullopt;
    }
    const auto outputFormat =
        platform_.makeFormat(audio::CommonFormat::Float32, sampleRate, static_cast<uint32_t>(channels), false);
    if (!outputFormat) {
        failure = recorderError(-1, "output_format_failed");
        return std::nullopt;
    }
    auto converter = platform_.makeConverter(inputFormat, *outputFormat);
    if (!converter) {
        failure = recorderError(-2, "converter_failed");
        return std::nullopt;
    }
    return RecordingPath{*outputFormat, std::move(converter)};
}

// The capture without a recording: standby's engine. Nothing is converted
// until a start hands the tap a converter.
std::optional<audio::Error> RecorderHelper::startCapture()
{
    {
        // What a failed live start left must not meet the new tap.
        std::lock_guard lock(gate_->mutex);
        clearRecordingPath(false);
    }
    captureLost_ = false;
    engine_ = platform_.makeEngine();
    audio::InputNode& input = engine_->inputNode();
    const audio::Format inputFormat = input.inputFormat(kTapBus);
    input.removeTap(kTapBus);
    input.installTap(kTapBus, kTapBufferFrames, inputFormat, makeTapBlock());
    engine_->setFailureBlock(makeFailureBlock());
    engine_->prepare();
    if (auto failure = engine_->start()) {
        releaseEngine();
        return failure;
    }
    captureFormat_ = inputFormat;
    return std::nullopt;
}

audio::TapBlock RecorderHelper::makeTapBlock()
{
    return [gate = gate_](const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime& when) {
        std::lock_guard lock(gate->mutex);
        if (gate->helper && buffer) {
            gate->helper->process(buffer, when);
        }
    };
}

// A recording whose capture died says so; it stays a recording until the
// host answers with "stop", like other failures of the audio path. Standby
// on that capture ends at the next command.
audio::FailureBlock RecorderHelper::makeFailureBlock()
{
    return [gate = gate_](const audio::Error& error) {
        std::lock_guard lock(gate->mutex);
        if (gate->helper) {
            gate->helper->captureLost_ = true;
            gate->helper->send(errorEvent("capture_lost:" + error.description));
        }
    };
}

void RecorderHelper::stop()
{
    const bool wasRecording = isRecording_;
    endRecording(wasRecording);
    if (wasRecording) {
        isRecording_ = false;
    }
    liveRecording_ = false;
    send(Event{{"type", std::string("recording_stopped")}});
}

// With standby on, the capture outlives the recording: only the playback
// task and the tap's converter go.
void RecorderHelper::endRecording(bool keepHeldBack)
{
    if (!standbyRunning()) {
        teardownEngine(keepHeldBack);
        return;
    }
    pcmCancel_.raise();
    cancelPlayback();
    // Waits for a tap block in flight, whose writes the cancel cut short.
    std::lock_guard lock(gate_->mutex);
    clearRecordingPath(keepHeldBack);
}

// Order matters: PCM writes are cancelled first, so that the waits below
// end even when descriptor 3 is full; then the playback task and the tap are
// stopped, and waited for, before the converter is drained and it and the
// format are released. Nothing of the recording reaches descriptor 3 or
// standard output after this returns.
void RecorderHelper::teardownEngine(bool keepHeldBack)
{
    pcmCancel_.raise();
    cancelPlayback();
    releaseEngine();
    // Waits for a tap block still in flight on a platform whose removeTap
    // does not; later blocks find the fields empty.
    std::lock_guard lock(gate_->mutex);
    clearRecordingPath(keepHeldBack);
    ring_.reset();
}

void RecorderHelper::cancelPlayback()
{
    if (playback_) {
        playback_->cancel();
        playback_->waitFinished();
        playback_.reset();
    }
}

void RecorderHelper::releaseEngine()
{
    captureFormat_.reset();
    if (!engine_) {
        return;
    }
    // Not under the gate: the platform's removeTap may wait for a tap
    // block, and the block takes the gate.
    engine_->inputNode().removeTap(kTapBus);
    if (engine_->isRunning()) {
        engine_->stop();
    }
    engine_->reset();
    engine_.reset();
}

void RecorderHelper::clearRecordingPath(bool keepHeldBack)
{
    if (keepHeldBack) {
        // A pre-roll no tapped buffer has carried out yet is still the
        // recording's beginning.
        if (auto preRoll = std::move(pendingPreRoll_)) {
            convertAndWrite(preRoll);
        }
        drainConverter();
    }
    pendingPreRoll_.reset();
    pendingSkip_ = 0;
    converter_.reset();
    outputFormat_.reset();
}

}  // namespace recorder
