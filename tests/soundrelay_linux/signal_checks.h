// Measures on captured or converted audio shared by the tests.
#pragma once

#include <cstddef>
#include <vector>

#include "audio/audio_model.h"

namespace signalchecks {

// Sign changes from negative to non-negative, a tone's cycle count.
size_t risingZeroCrossings(const std::vector<float>& samples);
// The tone's frequency estimated from its rising zero crossings.
double estimatedFrequency(const std::vector<float>& samples, double sampleRate);
// The root mean square of samples [from, to); 0 when the range is empty.
double rms(const std::vector<float>& samples, size_t from, size_t to);
std::vector<float> sine(double frequency, double sampleRate, size_t frames, float amplitude = 0.5f);
// A Float32 non-interleaved buffer holding `channels` copies of the samples,
// channel c scaled by `gains[c]`.
std::shared_ptr<audio::PcmBuffer> bufferOf(const std::vector<float>& samples, double sampleRate,
                                           const std::vector<float>& gains);

}  // namespace signalchecks
