// The newest few seconds of captured input, kept in the capture's own format
// so that they can go through the recording's converter like any tapped
// buffer.
#pragma once

#include "audio/audio_model.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace recorder {

class FrameRing {
public:
    // Nothing when the format has no storage of ours or no frames fit. The
    // capacity is clamped to what one buffer of the format can hold, since
    // the whole ring may be handed out as one buffer.
    static std::optional<FrameRing> make(const audio::Format& format, uint32_t capacityFrames);

    const audio::Format& format() const { return format_; }
    uint32_t capacity() const { return capacity_; }
    uint32_t size() const { return size_; }

    // Appends the buffer's frames; the oldest make room. A buffer of another
    // format breaks the run of frames, so it empties the ring instead.
    void push(audio::PcmBuffer& buffer);
    // The newest `frames` frames (at most size()), oldest first, in a buffer
    // from `platform`; null when there are none or no buffer can be made.
    std::shared_ptr<audio::PcmBuffer> newest(uint32_t frames, audio::AudioPlatform& platform) const;
    // Takes over the newest frames of `other`, which has the same format.
    void takeNewestFrom(const FrameRing& other);

private:
    FrameRing(const audio::Format& format, uint32_t capacity);
    void append(const uint8_t* const* arrays, uint32_t frames);

    audio::Format format_;
    uint32_t capacity_ = 0;
    size_t frameBytes_ = 0;                   // bytes of one frame in one array
    std::vector<std::vector<uint8_t>> arrays_;  // one per channel, or one interleaved
    uint32_t next_ = 0;                       // where the next frame goes
    uint32_t size_ = 0;
};

// The frames of `buffer` from `first` on, in a buffer from `platform`; null
// when none are left or no buffer can be made.
std::shared_ptr<audio::PcmBuffer> framesFrom(audio::PcmBuffer& buffer, uint32_t first,
                                             audio::AudioPlatform& platform);

// Frames that `seconds` of input at `sampleRate` take, rounded up; zero for
// values that name no length.
uint32_t framesFor(double seconds, double sampleRate);

}  // namespace recorder
