#include "audio/audio_model.h"

namespace audio {

namespace {

// More channels than any capture device or host request has.
constexpr uint32_t kMaxChannels = 64;
// Rates outside this range name no audio anyone records; far beyond it a
// resampler floods descriptor 3 or never returns from its set-up.
constexpr double kMinSampleRate = 1.0;
constexpr double kMaxSampleRate = 768000.0;

}  // namespace

std::optional<Format> boundedFormat(CommonFormat common, double sampleRate, uint32_t channels, bool interleaved)
{
    if (common != CommonFormat::Float32 && common != CommonFormat::Int16) {
        return std::nullopt;
    }
    if (!(sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate) || channels == 0 || channels > kMaxChannels) {
        return std::nullopt;
    }
    return Format{common, sampleRate, channels, interleaved};
}

}  // namespace audio
