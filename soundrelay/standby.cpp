// Standby: the capture keeps running between recordings and the newest
// input is held, so that a recording can begin before its "start" arrived.
#include "recorder_helper.h"

#include <algorithm>
#include <cmath>

namespace recorder {

namespace {

audio::Error recorderError(int64_t code, std::string description)
{
    return audio::Error{"RecorderHelper", code, std::move(description)};
}

}  // namespace

void RecorderHelper::standby(double seconds)
{
    if (seconds == 0.0) {
        endStandby();
        send(Event{{"type", std::string("standby_stopped")}});
        return;
    }
    if (auto failure = holdInput(seconds)) {
        send(errorEvent("decode_failed:" + failure->description));
        return;
    }
    send(Event{{"type", std::string("standby_started")},
               {"inputSampleRate", captureFormat_->sampleRate},
               {"seconds", seconds}});
}

// Starts the capture unless a live recording already runs one, and sizes
// the ring for `seconds`. A ring of that size already in place is kept, so
// repeated commands cost nothing.
std::optional<audio::Error> RecorderHelper::holdInput(double seconds)
{
    if (liveRecording_ && captureLost_) {
        return recorderError(-5, "capture_lost");
    }
    if (!liveRecording_ && !standbyRunning()) {
        // A failed live start may have left an engine that never ran.
        releaseEngine();
        if (auto failure = startCapture()) {
            return failure;
        }
    }
    const audio::Format format = *captureFormat_;
    const uint32_t frames = framesFor(seconds, format.sampleRate);
    {
        std::lock_guard lock(gate_->mutex);
        if (ring_ && ring_->format() == format && ring_->capacity() == frames) {
            standbySeconds_ = seconds;
            return std::nullopt;
        }
    }
    // Made outside the gate, so the capture thread never waits for the
    // allocation; only the copy of the held frames happens under it.
    auto ring = FrameRing::make(format, frames);
    if (!ring) {
        if (!liveRecording_) {
            releaseEngine();
        }
        return recorderError(-6, "standby_format_failed");
    }
    std::lock_guard lock(gate_->mutex);
    if (ring_) {
        ring->takeNewestFrom(*ring_);
    } else {
        std::lock_guard held(heldMutex_);
        captureClock_.reset();
    }
    ring_ = std::move(ring);
    standbySeconds_ = seconds;
    return std::nullopt;
}

void RecorderHelper::endStandby()
{
    if (!standbySeconds_) {
        return;
    }
    standbySeconds_.reset();
    // A live recording keeps its capture until it stops.
    if (!liveRecording_) {
        releaseEngine();
    }
    std::lock_guard lock(gate_->mutex);
    ring_.reset();
    std::lock_guard held(heldMutex_);
    captureClock_.reset();
}

void RecorderHelper::endStandbyIfLost()
{
    if (standbySeconds_ && captureLost_) {
        endStandby();
    }
}

bool RecorderHelper::standbyRunning() const
{
    return standbySeconds_ && engine_ && !captureLost_;
}

std::optional<audio::Error> RecorderHelper::startFromStandby(double sampleRate, int64_t channels,
                                                             std::optional<double> preRollMs)
{
    const audio::Format inputFormat = *captureFormat_;
    std::optional<audio::Error> failure;
    auto path = makeRecordingPath(inputFormat, sampleRate, channels, failure);
    if (!path) {
        return failure;
    }
    pcmCancel_.lower();
    currentSampleRate_ = sampleRate;
    currentChannels_ = channels;
    uint32_t before = 0;
    {
        std::lock_guard lock(gate_->mutex);
        outputFormat_ = path->outputFormat;
        converter_ = std::move(path->converter);
        if (preRollMs) {
            before = takePreRoll(*preRollMs);
        }
    }
    isRecording_ = true;
    liveRecording_ = true;
    Event started = liveStarted(sampleRate, channels, inputFormat.sampleRate);
    if (preRollMs) {
        started.emplace_back("preRollMs", 1000.0 * before / inputFormat.sampleRate);
    }
    send(started);
    return std::nullopt;
}

void RecorderHelper::noteLineArrival()
{
    const uint64_t now = platform_.hostTimeNow();
    std::lock_guard lock(heldMutex_);
    framesAtLineArrival_ = framesHeld_;
    lineFrame_ = captureClock_.frameAt(now);
}

// Counts back from the frame captured as the line arrived, which may lie
// beyond the newest frame held then: some servers deliver tens of
// milliseconds late. Frames captured since belong to the recording as well,
// but not to the pre-roll.
uint32_t RecorderHelper::takePreRoll(double preRollMs)
{
    // A stalled clock or server must not push the start far ahead.
    constexpr double kMostLateSeconds = 0.25;
    if (!ring_) {
        return 0;
    }
    const double rate = ring_->format().sampleRate;
    const double heldMs = 1000.0 * ring_->capacity() / rate;
    const auto wanted = std::llround(std::min(preRollMs, heldMs) * rate / 1000.0);
    const int64_t latest = framesAtLineArrival_ + std::llround(kMostLateSeconds * rate);
    const int64_t lineFrame = std::clamp(lineFrame_.value_or(framesAtLineArrival_), framesAtLineArrival_, latest);
    int64_t held = 0;
    {
        std::lock_guard lock(heldMutex_);
        held = framesHeld_;
    }
    const int64_t first = std::max<int64_t>(lineFrame - wanted, held - ring_->size());
    if (first >= held) {
        pendingSkip_ = first - held;
    } else {
        pendingPreRoll_ = ring_->newest(static_cast<uint32_t>(held - first), platform_);
        if (!pendingPreRoll_) {
            return 0;
        }
    }
    return static_cast<uint32_t>(std::max<int64_t>(0, lineFrame - first));
}

}  // namespace recorder
