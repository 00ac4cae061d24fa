// The audio platform of a Linux desktop: capture from the sound server's
// default source, resampling, and audio files.
#pragma once

#include <memory>

#include "audio/audio_model.h"

std::unique_ptr<audio::AudioPlatform> makeLinuxAudioPlatform();
