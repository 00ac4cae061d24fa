#include "macos/av_bridge.h"

#include <algorithm>

namespace macaudio {

namespace {

constexpr char kDomain[] = "macaudio";

std::string utf8(NSString* text)
{
    const char* bytes = text.UTF8String;
    return bytes ? std::string(bytes) : std::string();
}

// Channel c, frame i of a block of float samples, whichever way it is laid
// out: one array per channel, or every channel in one array.
template <typename Sample>
struct Samples {
    Sample* const* arrays = nullptr;
    uint32_t channels = 0;
    size_t step = 1;          // between frames of one channel
    bool oneArray = false;    // channel c starts at arrays[0] + c

    Sample& at(uint32_t channel, size_t frame) const
    {
        return oneArray ? arrays[0][frame * step + channel] : arrays[channel][frame * step];
    }
};

// The engine's buffers give each channel its own pointer, interleaved or
// not, spaced by the buffer's stride.
Samples<float> samplesOf(AVAudioPCMBuffer* buffer)
{
    return Samples<float>{buffer.floatChannelData, buffer.format.channelCount, buffer.stride, false};
}

template <typename Model>
Samples<Model> samplesOf(Model* const* arrays, const audio::Format& format)
{
    const bool interleaved = format.interleaved && format.channelCount > 1;
    return Samples<Model>{arrays, format.channelCount, interleaved ? format.channelCount : size_t{1}, interleaved};
}

// Channels the target has and the source lacks are silent.
template <typename From, typename To>
void copyFrames(const Samples<From>& from, const Samples<To>& to, size_t frames)
{
    const uint32_t shared = std::min(from.channels, to.channels);
    for (uint32_t c = 0; c < to.channels; ++c) {
        for (size_t i = 0; i < frames; ++i) {
            to.at(c, i) = c < shared ? from.at(c, i) : 0.0f;
        }
    }
}

}  // namespace

audio::Error ownError(std::string description)
{
    return audio::Error{kDomain, -1, std::move(description)};
}

audio::Error systemError(NSError* error, const char* fallback)
{
    if (!error) {
        return ownError(fallback);
    }
    return audio::Error{utf8(error.domain), static_cast<int64_t>(error.code), utf8(error.localizedDescription)};
}

audio::Error exceptionError(NSException* exception)
{
    const std::string reason = utf8(exception.reason);
    return audio::Error{utf8(exception.name), -1, reason.empty() ? utf8(exception.name) : reason};
}

audio::Format modelFormat(AVAudioFormat* format)
{
    const AVAudioCommonFormat common = format.commonFormat;
    const bool known = common >= AVAudioPCMFormatFloat32 && common <= AVAudioPCMFormatInt32;
    return audio::Format{known ? static_cast<audio::CommonFormat>(common) : audio::CommonFormat::Other,
                         format.sampleRate, format.channelCount, format.isInterleaved ? true : false};
}

// Above two channels the initialiser with a channel count gives nil: the
// count must come as a layout. Discrete channels in order give no channel a
// role, so channel n stays channel n; the tag carries the count in its low
// 16 bits.
AVAudioFormat* systemFormat(const audio::Format& format)
{
    if (format.commonFormat == audio::CommonFormat::Other) {
        return nil;
    }
    const auto common = static_cast<AVAudioCommonFormat>(format.commonFormat);
    const BOOL interleaved = format.interleaved ? YES : NO;
    if (format.channelCount <= 2) {
        return [[AVAudioFormat alloc] initWithCommonFormat:common
                                                sampleRate:format.sampleRate
                                                  channels:format.channelCount
                                               interleaved:interleaved];
    }
    if (format.channelCount > 0xFFFF) {
        return nil;
    }
    AVAudioChannelLayout* layout =
        [[AVAudioChannelLayout alloc] initWithLayoutTag:kAudioChannelLayoutTag_DiscreteInOrder | format.channelCount];
    if (!layout) {
        return nil;
    }
    return [[AVAudioFormat alloc] initWithCommonFormat:common
                                            sampleRate:format.sampleRate
                                           interleaved:interleaved
                                         channelLayout:layout];
}

std::shared_ptr<audio::PcmBuffer> modelCopy(AVAudioPCMBuffer* buffer)
{
    if (!buffer.floatChannelData) {
        return nullptr;
    }
    audio::Format format = modelFormat(buffer.format);
    format.commonFormat = audio::CommonFormat::Float32;
    const uint32_t frames = buffer.frameLength;
    auto copy = audio::PcmBuffer::make(format, frames);
    if (!copy) {
        return nullptr;
    }
    copyFrames(samplesOf(buffer), samplesOf(copy->floatChannelData(), format), frames);
    copy->setFrameLength(frames);
    return copy;
}

AVAudioPCMBuffer* systemCopy(const audio::PcmBuffer& buffer, AVAudioFormat* format)
{
    const float* const* samples = buffer.floatChannelData();
    if (!samples) {
        return nil;
    }
    const uint32_t frames = buffer.frameLength();
    AVAudioPCMBuffer* copy = [[AVAudioPCMBuffer alloc] initWithPCMFormat:format frameCapacity:frames];
    if (!copy || !copy.floatChannelData) {
        return nil;
    }
    copyFrames(samplesOf(samples, buffer.format()), samplesOf(copy), frames);
    copy.frameLength = frames;
    return copy;
}

bool copyInto(AVAudioPCMBuffer* from, audio::PcmBuffer& into)
{
    float* const* target = into.floatChannelData();
    if (!from.floatChannelData || !target) {
        into.setFrameLength(0);
        return false;
    }
    const uint32_t frames = std::min(from.frameLength, into.frameCapacity());
    copyFrames(samplesOf(from), samplesOf(target, into.format()), frames);
    into.setFrameLength(frames);
    return true;
}

}  // namespace macaudio
