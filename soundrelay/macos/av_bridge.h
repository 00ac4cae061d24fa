// What the macOS layer's files share: the system's audio engine types
// translated to and from the audio model. Included by Objective-C++ only.
#pragma once

#import <AVFoundation/AVFoundation.h>

#include <memory>
#include <string>

#include "audio/audio_model.h"

namespace macaudio {

// Description of an error this layer raises itself.
audio::Error ownError(std::string description);
// The system's error, with its localized description; `fallback` when the
// system gave none.
audio::Error systemError(NSError* error, const char* fallback);
// What an exception the engine raised for a refused request says.
audio::Error exceptionError(NSException* exception);

audio::Format modelFormat(AVAudioFormat* format);
// Nil when the system refuses the values.
AVAudioFormat* systemFormat(const audio::Format& format);

// Copies between the two kinds of buffer. The model's buffers own their
// samples and the engine's buffers are the engine's, so every crossing is a
// copy: a few kilobytes per tenth of a second, far below anything that
// matters, and no buffer of one side outlives a call on the other.
// Null or nil when the source holds no 32-bit float samples or the copy
// cannot be allocated.
std::shared_ptr<audio::PcmBuffer> modelCopy(AVAudioPCMBuffer* buffer);
AVAudioPCMBuffer* systemCopy(const audio::PcmBuffer& buffer, AVAudioFormat* format);
// Fills `into` from the start with as many frames as it holds; false when
// either side holds no 32-bit float samples.
bool copyInto(AVAudioPCMBuffer* from, audio::PcmBuffer& into);

// The engine's host time (mach_absolute_time() ticks) as the model's clock,
// nanoseconds; see audio::AudioTime.
uint64_t hostTimeNanoseconds(uint64_t hostTime);
// The model's time of a tapped buffer; 0 for what the engine left invalid.
audio::AudioTime modelTime(AVAudioTime* when);

std::unique_ptr<audio::Engine> makeEngine();
// Null when either format is not usable or the system cannot convert.
std::shared_ptr<audio::Converter> makeConverter(const audio::Format& from, const audio::Format& to);
// Null with `error` filled in when the file cannot be opened for reading.
std::unique_ptr<audio::AudioFile> openFile(const std::string& path, audio::Error& error);

}  // namespace macaudio
