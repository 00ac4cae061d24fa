// Audio files read through libsndfile, delivered as Float32 non-interleaved
// at the file's own rate and channel count.
#pragma once

#include <memory>
#include <string>

#include "audio/audio_model.h"

namespace linuxaudio {

// Null with `error` carrying the library's description when the file cannot
// be opened for reading.
std::unique_ptr<audio::AudioFile> openSndFile(const std::string& path, audio::Error& error);

}  // namespace linuxaudio
