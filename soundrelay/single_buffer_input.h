// The converter's input for one capture buffer.
#pragma once

#include "audio/audio_model.h"

namespace recorder {

// Hands `buffer` over on the first call (of this block or any copy of it)
// and answers "no data now" ever after. It never reports end of stream, so
// the converter keeps its state for the next capture buffer.
audio::InputBlock singleBufferInput(std::shared_ptr<audio::PcmBuffer> buffer);

}  // namespace recorder
