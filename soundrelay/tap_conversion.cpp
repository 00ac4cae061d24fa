// The live audio path: one tapped buffer converted and written as PCM16.
#include "recorder_helper.h"

#include "capacity.h"
#include "pcm16.h"
#include "single_buffer_input.h"

#include <algorithm>

namespace recorder {

void RecorderHelper::process(const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime& when)
{
    // Held whether or not a recording runs, so that what the ring holds is
    // always the newest run of input without a hole.
    if (ring_) {
        holdFrames(*buffer, when);
    }
    // Empty fields mean no recording: drop the buffer.
    if (!converter_ || !outputFormat_) {
        return;
    }
    // The pre-roll ends where this buffer begins.
    if (auto preRoll = std::move(pendingPreRoll_)) {
        convertAndWrite(preRoll);
    }
    // A recording asked to begin after the newest held frame begins inside
    // the buffers still to come.
    if (pendingSkip_ > 0) {
        const int64_t length = buffer->frameLength();
        const auto skipped = std::min(pendingSkip_, length);
        pendingSkip_ -= skipped;
        if (skipped == length) {
            return;
        }
        if (auto rest = framesFrom(*buffer, static_cast<uint32_t>(skipped), platform_)) {
            convertAndWrite(rest);
        }
        return;
    }
    convertAndWrite(buffer);
}

void RecorderHelper::holdFrames(audio::PcmBuffer& buffer, const audio::AudioTime& when)
{
    ring_->push(buffer);
    const double rate = buffer.format().sampleRate;
    const uint64_t lastFrameNs =
        when.hostTime == 0 ? 0 : when.hostTime + audio::framesToNanoseconds(buffer.frameLength(), rate);
    std::lock_guard lock(heldMutex_);
    framesHeld_ += buffer.frameLength();
    captureClock_.note(framesHeld_, lastFrameNs, rate);
}

void RecorderHelper::convertAndWrite(const std::shared_ptr<audio::PcmBuffer>& buffer)
{
    if (!converter_ || !outputFormat_) {
        return;
    }
    const auto capacity = outputCapacity(buffer->frameLength(), buffer->format().sampleRate, outputFormat_->sampleRate);
    if (!capacity) {
        return;
    }
    auto output = platform_.makeBuffer(*outputFormat_, *capacity);
    if (!output) {
        return;
    }
    std::optional<audio::Error> error;
    const auto status = converter_->convert(*output, error, singleBufferInput(buffer));
    if (status == audio::OutputStatus::Error || error) {
        send(errorEvent(error ? error->description : "convert_error"));
        return;
    }
    if (output->frameLength() > 0) {
        // A host that stopped reading descriptor 3 does not end the capture.
        writePcm16(*output);
    }
}

// What the converter holds when the recording ends is its last words: end
// of input flushes them. Writes are already cancelled, so a descriptor 3
// that takes nothing drops them rather than holding the teardown up.
void RecorderHelper::drainConverter()
{
    constexpr uint32_t kDrainFrames = 4096;
    constexpr int kMaxDrainCalls = 16;  // bounds a converter that never ends
    if (!converter_ || !outputFormat_) {
        return;
    }
    const audio::InputBlock ended = [](uint32_t, audio::InputStatus& status) -> std::shared_ptr<audio::PcmBuffer> {
        status = audio::InputStatus::EndOfStream;
        return nullptr;
    };
    for (int call = 0; call < kMaxDrainCalls; ++call) {
        auto output = platform_.makeBuffer(*outputFormat_, kDrainFrames);
        if (!output) {
            return;
        }
        std::optional<audio::Error> error;
        const auto status = converter_->convert(*output, error, ended);
        if (status == audio::OutputStatus::Error || error) {
            return;
        }
        writePcm16(*output);
        if (status == audio::OutputStatus::EndOfStream || output->frameLength() == 0) {
            return;
        }
    }
}

bool RecorderHelper::writePcm16(const audio::PcmBuffer& buffer)
{
    const uint32_t frames = buffer.frameLength();
    if (frames == 0) {
        return false;
    }
    const float* const* channels = buffer.floatChannelData();
    if (!channels) {
        return false;
    }
    // Channel 0 only; an interleaved buffer has it every channelCount samples.
    const float* first = channels[0];
    std::string bytes;
    if (buffer.format().interleaved && buffer.format().channelCount > 1) {
        std::vector<float> channel0(frames);
        for (uint32_t i = 0; i < frames; ++i) {
            channel0[i] = first[size_t{i} * buffer.format().channelCount];
        }
        bytes = encodePcm16(channel0.data(), frames);
    } else {
        bytes = encodePcm16(first, frames);
    }
    return writeAllUnlessCancelled(fds_.pcm, bytes.data(), bytes.size(), pcmCancel_) == WriteResult::Written;
}

}  // namespace recorder
