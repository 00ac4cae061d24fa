// A fixture recording: an audio file played in real time in place of the
// microphone.
#include "recorder_helper.h"

#include "fixture_name.h"

#include <algorithm>
#include <cmath>

namespace recorder {

namespace {

bool formatFits(const audio::Format& format, double sampleRate, int64_t channels)
{
    return format.commonFormat == audio::CommonFormat::Float32 && !format.interleaved &&
           int64_t{format.channelCount} == channels && std::fabs(format.sampleRate - sampleRate) < 0.5;
}

// A tenth of a second of the file, in whole frames; one frame at least, so
// that a file below 10 Hz is still played, a frame at a time.
uint32_t chunkFrames(double sampleRate)
{
    const double frames = std::trunc(sampleRate / 10.0);
    if (!(frames >= 1.0)) {
        return 1;
    }
    return frames >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(frames);
}

// Marks the task finished however it ends.
struct FinishedOnExit {
    PlaybackControl& control;
    ~FinishedOnExit() { control.markFinished(); }
};

}  // namespace

std::optional<audio::Error> RecorderHelper::startFixture(const std::string& path, double sampleRate, int64_t channels,
                                                         bool askedForPreRoll)
{
    // A standby capture runs on beside the file, untouched by it.
    endRecording(false);
    pcmCancel_.lower();
    audio::Error openError;
    std::shared_ptr<audio::AudioFile> file = platform_.openFile(path, openError);
    if (!file) {
        return openError;
    }
    const audio::Format format = file->processingFormat();
    if (!formatFits(format, sampleRate, channels)) {
        return audio::Error{"RecorderHelper", -3, "fixture_format_mismatch"};
    }
    currentSampleRate_ = sampleRate;
    currentChannels_ = channels;
    isRecording_ = true;
    const std::string name = lastPathComponent(path);
    Event started{{"type", std::string("recording_started")},
                  {"sampleRate", sampleRate},
                  {"channels", channels},
                  {"inputSampleRate", format.sampleRate},
                  {"inputSource", std::string("fixture")},
                  {"fixtureName", name}};
    // A file has no input from before its start.
    if (askedForPreRoll) {
        started.emplace_back("preRollMs", int64_t{0});
    }
    send(started);

    // Teardown waits for this task, so the recorder outlives it.
    auto control = std::make_shared<PlaybackControl>();
    playback_ = control;
    fixtureWorker_.submit([this, file, name, control] {
        FinishedOnExit finished{*control};
        playFixture(*file, name, *control);
    });
    return std::nullopt;
}

void RecorderHelper::playFixture(audio::AudioFile& file, const std::string& fixtureName, PlaybackControl& control)
{
    const audio::Format format = file.processingFormat();
    const uint32_t chunk = chunkFrames(format.sampleRate);
    const auto ended = [&] { return control.isCancelled() || !isRecording_; };
    while (!ended()) {
        const int64_t remaining = file.length() - file.framePosition();
        if (remaining <= 0) {
            break;
        }
        const auto count = static_cast<uint32_t>(std::min<int64_t>(remaining, chunk));
        auto buffer = platform_.makeBuffer(format, count);
        if (!buffer) {
            send(errorEvent("fixture_buffer_failed"));
            return;
        }
        audio::Error readError;
        if (!file.read(*buffer, count, readError)) {
            send(errorEvent("fixture_read_failed:" + readError.description));
            return;
        }
        if (buffer->frameLength() == 0) {
            break;
        }
        if (!writePcm16(*buffer)) {
            // A write cut short by "stop" is no failure of the recording.
            if (!pcmCancel_.isRaised()) {
                send(errorEvent("fixture_pcm_write_failed"));
            }
            return;
        }
        // Interrupted by "stop", so that it answers at once.
        const double pause = static_cast<double>(buffer->frameLength()) / format.sampleRate;
        if (pause > 0.0 && !control.pause(pause)) {
            return;
        }
    }
    if (ended()) {
        return;
    }
    send(Event{{"type", std::string("fixture_finished")}, {"fixtureName", fixtureName}});
}

}  // namespace recorder
