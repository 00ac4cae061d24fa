// Sample-rate and channel conversion through the system's audio converter,
// pulling its input through the model's input block.
#include "macos/av_bridge.h"

#include <cmath>

namespace macaudio {

namespace {

using audio::InputStatus;
using audio::OutputStatus;

bool usable(const audio::Format& format)
{
    return format.commonFormat == audio::CommonFormat::Float32 && !format.interleaved &&
           std::isfinite(format.sampleRate) && format.sampleRate > 0.0 && format.channelCount > 0;
}

OutputStatus modelStatus(AVAudioConverterOutputStatus status)
{
    switch (status) {
    case AVAudioConverterOutputStatus_HaveData:
        return OutputStatus::HaveData;
    case AVAudioConverterOutputStatus_InputRanDry:
        return OutputStatus::InputRanDry;
    case AVAudioConverterOutputStatus_EndOfStream:
        return OutputStatus::EndOfStream;
    default:
        return OutputStatus::Error;
    }
}

// One answer of the model's input block, as the converter's input block
// gives it. An empty buffer counts as none, so that a block that hands out
// empty buffers cannot keep the conversion from returning.
AVAudioBuffer* nextInput(const audio::InputBlock& input, AVAudioPacketCount packets, AVAudioFormat* format,
                         AVAudioConverterInputStatus* status)
{
    *status = AVAudioConverterInputStatus_NoDataNow;
    InputStatus answer = InputStatus::NoDataNow;
    std::shared_ptr<audio::PcmBuffer> buffer;
    try {
        buffer = input(packets, answer);
    } catch (...) {
        return nil;
    }
    if (answer == InputStatus::EndOfStream) {
        *status = AVAudioConverterInputStatus_EndOfStream;
        return nil;
    }
    if (answer != InputStatus::HaveData || !buffer || buffer->frameLength() == 0) {
        return nil;
    }
    AVAudioPCMBuffer* copy = systemCopy(*buffer, format);
    if (copy) {
        *status = AVAudioConverterInputStatus_HaveData;
    }
    return copy;
}

// Discrete channels have no roles to mix by: output channel n takes input
// channel n, and channels the input lacks are silent, as on every platform.
NSArray<NSNumber*>* channelByChannel(uint32_t inputs, uint32_t outputs)
{
    NSMutableArray<NSNumber*>* map = [NSMutableArray arrayWithCapacity:outputs];
    for (uint32_t channel = 0; channel < outputs; ++channel) {
        [map addObject:@(channel < inputs ? static_cast<NSInteger>(channel) : NSInteger{-1})];
    }
    return map;
}

class AVConverter final : public audio::Converter {
public:
    AVConverter(AVAudioConverter* converter, AVAudioFormat* from, AVAudioFormat* to)
        : converter_(converter), from_(from), to_(to)
    {
    }

    OutputStatus convert(audio::PcmBuffer& output, std::optional<audio::Error>& error,
                         const audio::InputBlock& input) override
    {
        @autoreleasepool {
            output.setFrameLength(0);
            AVAudioPCMBuffer* converted = [[AVAudioPCMBuffer alloc] initWithPCMFormat:to_
                                                                        frameCapacity:output.frameCapacity()];
            if (!converted) {
                error = ownError("output buffer cannot be made");
                return OutputStatus::Error;
            }
            // The converter calls the block only during this call, so it may
            // refer to the caller's input block and format.
            const audio::InputBlock* pull = &input;
            AVAudioFormat* from = from_;
            NSError* failure = nil;
            const AVAudioConverterOutputStatus status =
                [converter_ convertToBuffer:converted
                                      error:&failure
                         withInputFromBlock:^AVAudioBuffer*(AVAudioPacketCount packets,
                                                            AVAudioConverterInputStatus* inputStatus) {
                             return nextInput(*pull, packets, from, inputStatus);
                         }];
            copyInto(converted, output);
            if (failure) {
                error = systemError(failure, "convert_error");
            }
            return modelStatus(status);
        }
    }

private:
    AVAudioConverter* converter_;
    AVAudioFormat* from_;
    AVAudioFormat* to_;
};

}  // namespace

std::shared_ptr<audio::Converter> makeConverter(const audio::Format& from, const audio::Format& to)
{
    if (!usable(from) || !usable(to)) {
        return nullptr;
    }
    @autoreleasepool {
        AVAudioFormat* input = systemFormat(from);
        AVAudioFormat* output = systemFormat(to);
        if (!input || !output) {
            return nullptr;
        }
        AVAudioConverter* converter = [[AVAudioConverter alloc] initFromFormat:input toFormat:output];
        if (!converter) {
            return nullptr;
        }
        if (from.channelCount > 2 || to.channelCount > 2) {
            converter.channelMap = channelByChannel(from.channelCount, to.channelCount);
        }
        return std::make_shared<AVConverter>(converter, input, output);
    }
}

}  // namespace macaudio
