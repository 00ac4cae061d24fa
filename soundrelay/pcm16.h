// The float to signed 16-bit mapping of the PCM stream.
#pragma once

#include <cstdint>
#include <string>

namespace recorder {

// Clamps to [-1, 1] (not-a-number counts as 1), scales by 32767 in single
// precision, lowers negative values by one more, truncates toward zero.
int16_t pcm16FromFloat(float x);

// Frames 0..frames-1 of `samples` as little-endian 16-bit samples.
std::string encodePcm16(const float* samples, uint32_t frames);

}  // namespace recorder
