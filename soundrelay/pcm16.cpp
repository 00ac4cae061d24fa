#include "pcm16.h"

namespace recorder {

int16_t pcm16FromFloat(float x)
{
    float clamped = x;
    if (!(x < 1.0f)) {
        clamped = 1.0f;
    } else if (x < -1.0f) {
        clamped = -1.0f;
    }
    float scaled = clamped * 32767.0f;
    if (clamped < 0.0f) {
        scaled = scaled - 1.0f;
    }
    return static_cast<int16_t>(scaled);
}

std::string encodePcm16(const float* samples, uint32_t frames)
{
    std::string bytes(size_t{frames} * 2, '\0');
    for (uint32_t i = 0; i < frames; ++i) {
        const auto sample = static_cast<uint16_t>(pcm16FromFloat(samples[i]));
        bytes[2 * size_t{i}] = static_cast<char>(sample & 0xFF);
        bytes[2 * size_t{i} + 1] = static_cast<char>(sample >> 8);
    }
    return bytes;
}

}  // namespace recorder
