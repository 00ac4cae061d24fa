// Capture from the sound server's default source through libpulse.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/audio_model.h"

namespace linuxaudio {

// Never null: when the server cannot be reached the engine still reports a
// placeholder input format, and start() fails with the library's description.
std::unique_ptr<audio::Engine> makePulseEngine();

// The clock the engine dates its buffers by (audio::AudioTime::hostTime).
uint64_t monotonicNanoseconds();

// libpulse logs its errors (an unwritable runtime directory, say) to
// standard error and offers no switch for it; this sends them to the system
// log instead. Call before any thread that may read the environment runs.
void keepPulseLogOffStderr();

}  // namespace linuxaudio
