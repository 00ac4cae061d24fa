// Sample-rate conversion of Float32 non-interleaved audio, one streaming
// resampler per converter.
#pragma once

#include <memory>

#include "audio/audio_model.h"

namespace linuxaudio {

// Null when either format is not Float32 non-interleaved with a positive,
// finite rate and at least one channel, or the resampler refuses the ratio.
std::shared_ptr<audio::Converter> makeSoxrConverter(const audio::Format& from, const audio::Format& to);

}  // namespace linuxaudio
