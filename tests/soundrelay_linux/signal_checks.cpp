#include "signal_checks.h"

#include <cmath>
#include <numbers>

namespace signalchecks {

size_t risingZeroCrossings(const std::vector<float>& samples)
{
    size_t crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            ++crossings;
        }
    }
    return crossings;
}

double estimatedFrequency(const std::vector<float>& samples, double sampleRate)
{
    if (samples.empty()) {
        return 0.0;
    }
    return static_cast<double>(risingZeroCrossings(samples)) * sampleRate / static_cast<double>(samples.size());
}

double rms(const std::vector<float>& samples, size_t from, size_t to)
{
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

std::vector<float> sine(double frequency, double sampleRate, size_t frames, float amplitude)
{
    std::vector<float> samples(frames);
    for (size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate;
        samples[i] = amplitude * static_cast<float>(std::sin(phase));
    }
    return samples;
}

std::shared_ptr<audio::PcmBuffer> bufferOf(const std::vector<float>& samples, double sampleRate,
                                           const std::vector<float>& gains)
{
    const audio::Format format{audio::CommonFormat::Float32, sampleRate, static_cast<uint32_t>(gains.size()), false};
    auto buffer = audio::PcmBuffer::make(format, static_cast<uint32_t>(samples.size()));
    float* const* channels = buffer->floatChannelData();
    for (size_t c = 0; c < gains.size(); ++c) {
        for (size_t i = 0; i < samples.size(); ++i) {
            channels[c][i] = samples[i] * gains[c];
        }
    }
    buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
    return buffer;
}

}  // namespace signalchecks
