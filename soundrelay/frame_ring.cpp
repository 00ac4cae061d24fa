#include "frame_ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace recorder {

namespace {

// The most samples one PcmBuffer holds (see pcm_buffer.cpp).
constexpr uint64_t kMaxBufferSamples = uint64_t{1} << 24;

size_t sampleBytes(audio::CommonFormat common)
{
    if (common == audio::CommonFormat::Float32) {
        return sizeof(float);
    }
    if (common == audio::CommonFormat::Int16) {
        return sizeof(int16_t);
    }
    return 0;
}

// Bytes one frame takes in one of the format's arrays.
size_t frameBytesOf(const audio::Format& format)
{
    const size_t samplesPerFrame = format.interleaved ? format.channelCount : 1;
    return samplesPerFrame * sampleBytes(format.commonFormat);
}

// The buffer's arrays as bytes, whatever its sample type; null when it has
// no storage.
const uint8_t* const* byteArrays(audio::PcmBuffer& buffer, std::vector<const uint8_t*>& into)
{
    into.clear();
    if (float* const* floats = buffer.floatChannelData()) {
        for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
            into.push_back(reinterpret_cast<const uint8_t*>(floats[i]));
        }
    } else if (int16_t* const* ints = buffer.int16ChannelData()) {
        for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
            into.push_back(reinterpret_cast<const uint8_t*>(ints[i]));
        }
    }
    return into.empty() ? nullptr : into.data();
}

uint8_t* writableArray(audio::PcmBuffer& buffer, uint32_t index)
{
    if (float* const* floats = buffer.floatChannelData()) {
        return reinterpret_cast<uint8_t*>(floats[index]);
    }
    return reinterpret_cast<uint8_t*>(buffer.int16ChannelData()[index]);
}

}  // namespace

uint32_t framesFor(double seconds, double sampleRate)
{
    const double frames = std::ceil(seconds * sampleRate);
    if (!(frames > 0.0)) {
        return 0;
    }
    return frames >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(frames);
}

std::shared_ptr<audio::PcmBuffer> framesFrom(audio::PcmBuffer& buffer, uint32_t first, audio::AudioPlatform& platform)
{
    if (first >= buffer.frameLength()) {
        return nullptr;
    }
    std::vector<const uint8_t*> pointers;
    const uint8_t* const* arrays = byteArrays(buffer, pointers);
    const uint32_t frames = buffer.frameLength() - first;
    auto rest = platform.makeBuffer(buffer.format(), frames);
    if (!arrays || !rest || rest->bufferCount() != pointers.size()) {
        return nullptr;
    }
    const size_t frameBytes = frameBytesOf(buffer.format());
    for (uint32_t a = 0; a < pointers.size(); ++a) {
        std::memcpy(writableArray(*rest, a), arrays[a] + size_t{first} * frameBytes, size_t{frames} * frameBytes);
    }
    rest->setFrameLength(frames);
    return rest;
}

std::optional<FrameRing> FrameRing::make(const audio::Format& format, uint32_t capacityFrames)
{
    if (sampleBytes(format.commonFormat) == 0 || format.channelCount == 0) {
        return std::nullopt;
    }
    const uint64_t fit = kMaxBufferSamples / format.channelCount;
    const auto capacity = static_cast<uint32_t>(std::min<uint64_t>(capacityFrames, fit));
    if (capacity == 0) {
        return std::nullopt;
    }
    return FrameRing(format, capacity);
}

FrameRing::FrameRing(const audio::Format& format, uint32_t capacity) : format_(format), capacity_(capacity)
{
    const size_t arrays = format.interleaved ? 1 : format.channelCount;
    frameBytes_ = frameBytesOf(format);
    arrays_.assign(arrays, std::vector<uint8_t>(size_t{capacity} * frameBytes_));
}

void FrameRing::push(audio::PcmBuffer& buffer)
{
    std::vector<const uint8_t*> pointers;
    const uint8_t* const* arrays = byteArrays(buffer, pointers);
    if (!(buffer.format() == format_) || !arrays || pointers.size() != arrays_.size()) {
        next_ = 0;
        size_ = 0;
        return;
    }
    append(arrays, buffer.frameLength());
}

void FrameRing::append(const uint8_t* const* arrays, uint32_t frames)
{
    // Only the newest `capacity_` frames of a long buffer can stay.
    const uint32_t skip = frames > capacity_ ? frames - capacity_ : 0;
    uint32_t done = skip;
    while (done < frames) {
        const uint32_t run = std::min(frames - done, capacity_ - next_);
        for (size_t a = 0; a < arrays_.size(); ++a) {
            std::memcpy(arrays_[a].data() + size_t{next_} * frameBytes_, arrays[a] + size_t{done} * frameBytes_,
                        size_t{run} * frameBytes_);
        }
        done += run;
        next_ = (next_ + run) % capacity_;
    }
    size_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{size_} + (frames - skip), capacity_));
}

std::shared_ptr<audio::PcmBuffer> FrameRing::newest(uint32_t frames, audio::AudioPlatform& platform) const
{
    frames = std::min(frames, size_);
    if (frames == 0) {
        return nullptr;
    }
    auto buffer = platform.makeBuffer(format_, frames);
    if (!buffer || buffer->bufferCount() != arrays_.size()) {
        return nullptr;
    }
    const uint32_t first = (next_ + capacity_ - frames) % capacity_;
    const uint32_t beforeWrap = std::min(frames, capacity_ - first);
    for (uint32_t a = 0; a < arrays_.size(); ++a) {
        uint8_t* into = writableArray(*buffer, a);
        const uint8_t* from = arrays_[a].data();
        std::memcpy(into, from + size_t{first} * frameBytes_, size_t{beforeWrap} * frameBytes_);
        std::memcpy(into + size_t{beforeWrap} * frameBytes_, from, size_t{frames - beforeWrap} * frameBytes_);
    }
    buffer->setFrameLength(frames);
    return buffer;
}

void FrameRing::takeNewestFrom(const FrameRing& other)
{
    next_ = 0;
    size_ = 0;
    if (!(other.format_ == format_) || other.size_ == 0) {
        return;
    }
    const uint32_t frames = std::min(other.size_, capacity_);
    const uint32_t first = (other.next_ + other.capacity_ - frames) % other.capacity_;
    const uint32_t beforeWrap = std::min(frames, other.capacity_ - first);
    std::vector<const uint8_t*> head;
    std::vector<const uint8_t*> tail;
    for (const auto& array : other.arrays_) {
        head.push_back(array.data() + size_t{first} * frameBytes_);
        tail.push_back(array.data());
    }
    append(head.data(), beforeWrap);
    append(tail.data(), frames - beforeWrap);
}

}  // namespace recorder
