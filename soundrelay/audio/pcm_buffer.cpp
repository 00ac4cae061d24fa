#include "audio/audio_model.h"

#include <algorithm>

namespace audio {

namespace {

// Refuse absurd capacities instead of letting an allocation throw.
constexpr uint64_t kMaxSamples = uint64_t{1} << 24;

bool hasStorage(CommonFormat common)
{
    return common == CommonFormat::Float32 || common == CommonFormat::Int16;
}

}  // namespace

std::shared_ptr<PcmBuffer> PcmBuffer::make(const Format& format, uint32_t frameCapacity)
{
    if (!hasStorage(format.commonFormat) || format.channelCount == 0) {
        return nullptr;
    }
    if (uint64_t{frameCapacity} * format.channelCount > kMaxSamples) {
        return nullptr;
    }
    return std::make_shared<PcmBuffer>(Key{}, format, frameCapacity);
}

PcmBuffer::PcmBuffer(Key, const Format& format, uint32_t frameCapacity) : format_(format), frameCapacity_(frameCapacity)
{
    const size_t channels = format.channelCount;
    const size_t samples = size_t{frameCapacity} * channels;
    const size_t arrays = format.interleaved ? 1 : channels;
    const size_t stride = format.interleaved ? 0 : frameCapacity;
    if (format.commonFormat == CommonFormat::Float32) {
        floatStorage_.assign(samples, 0.0f);
        for (size_t i = 0; i < arrays; ++i) {
            channelPointers_.push_back(floatStorage_.data() + i * stride);
        }
    } else {
        int16Storage_.assign(samples, 0);
        for (size_t i = 0; i < arrays; ++i) {
            int16Pointers_.push_back(int16Storage_.data() + i * stride);
        }
    }
}

void PcmBuffer::setFrameLength(uint32_t frames)
{
    frameLength_ = std::min(frames, frameCapacity_);
}

float* const* PcmBuffer::floatChannelData()
{
    return channelPointers_.empty() ? nullptr : channelPointers_.data();
}

const float* const* PcmBuffer::floatChannelData() const
{
    return channelPointers_.empty() ? nullptr : channelPointers_.data();
}

int16_t* const* PcmBuffer::int16ChannelData()
{
    return int16Pointers_.empty() ? nullptr : int16Pointers_.data();
}

}  // namespace audio
