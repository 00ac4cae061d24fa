// The audio platform of a Mac: the system's audio engine for capture,
// its converter and its audio file reader.
#include "audio/system_platform.h"
#include "macos/av_bridge.h"

#include <mach/mach_time.h>

namespace {

class MacAudioPlatform final : public audio::AudioPlatform {
public:
    std::unique_ptr<audio::Engine> makeEngine() override { return macaudio::makeEngine(); }

    std::optional<audio::Format> makeFormat(audio::CommonFormat common, double sampleRate, uint32_t channels,
                                            bool interleaved) override
    {
        const std::optional<audio::Format> format = audio::boundedFormat(common, sampleRate, channels, interleaved);
        if (!format) {
            return std::nullopt;
        }
        @autoreleasepool {
            if (!macaudio::systemFormat(*format)) {
                return std::nullopt;
            }
        }
        return format;
    }

    std::shared_ptr<audio::Converter> makeConverter(const audio::Format& from, const audio::Format& to) override
    {
        return macaudio::makeConverter(from, to);
    }

    std::unique_ptr<audio::AudioFile> openFile(const std::string& path, audio::Error& error) override
    {
        return macaudio::openFile(path, error);
    }

    uint64_t hostTimeNow() override { return macaudio::hostTimeNanoseconds(mach_absolute_time()); }
};

}  // namespace

std::unique_ptr<audio::AudioPlatform> makeSystemAudioPlatform()
{
    return std::make_unique<MacAudioPlatform>();
}
