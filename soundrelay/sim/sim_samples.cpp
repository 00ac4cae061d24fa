#include "sim/sim_shared.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

size_t sampleIndex(const audio::Format& format, uint32_t channel, uint32_t frame, uint32_t& array)
{
    if (format.interleaved) {
        array = 0;
        return size_t{frame} * format.channelCount + channel;
    }
    array = channel;
    return frame;
}

}  // namespace

float readSample(audio::PcmBuffer& buffer, uint32_t channel, uint32_t frame)
{
    uint32_t array = 0;
    const size_t index = sampleIndex(buffer.format(), channel, frame, array);
    if (auto* floats = buffer.floatChannelData()) {
        return floats[array][index];
    }
    if (auto* ints = buffer.int16ChannelData()) {
        return static_cast<float>(ints[array][index]) / 32768.0f;
    }
    return 0.0f;
}

void writeSample(audio::PcmBuffer& buffer, uint32_t channel, uint32_t frame, float value)
{
    uint32_t array = 0;
    const size_t index = sampleIndex(buffer.format(), channel, frame, array);
    if (auto* floats = buffer.floatChannelData()) {
        floats[array][index] = value;
        return;
    }
    if (auto* ints = buffer.int16ChannelData()) {
        const float scaled = std::clamp(value * 32768.0f, -32768.0f, 32767.0f);
        ints[array][index] = static_cast<int16_t>(scaled);
    }
}

std::shared_ptr<audio::PcmBuffer> makeFloatBuffer(const audio::Format& format,
                                                  const std::vector<std::vector<float>>& channels)
{
    size_t frames = 0;
    for (const auto& channel : channels) {
        frames = std::max(frames, channel.size());
    }
    auto buffer = audio::PcmBuffer::make(format, static_cast<uint32_t>(frames));
    if (!buffer) {
        return nullptr;
    }
    for (uint32_t c = 0; c < format.channelCount && c < channels.size(); ++c) {
        for (uint32_t i = 0; i < channels[c].size(); ++i) {
            writeSample(*buffer, c, i, channels[c][i]);
        }
    }
    buffer->setFrameLength(static_cast<uint32_t>(frames));
    return buffer;
}

}  // namespace sim
