// The audio platform of the system the recorder was built for: each
// platform layer that stands on real hardware defines this once.
#pragma once

#include <memory>

#include "audio/audio_model.h"

std::unique_ptr<audio::AudioPlatform> makeSystemAudioPlatform();
