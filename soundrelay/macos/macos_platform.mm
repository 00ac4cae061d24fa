// The audio platform of a Mac: the system's audio engine for capture,
// its converter and its audio file reader.
#include "audio/system_platform.h"
#include "macos/av_bridge.h"

namespace {

// The same bounds as every other platform of the recorder, so that a
// request means the same everywhere.
constexpr uint32_t kMaxChannels = 64;
constexpr double kMinSampleRate = 1.0;
constexpr double kMaxSampleRate = 768000.0;

class MacAudioPlatform final : public audio::AudioPlatform {
public:
    std::unique_ptr<audio::Engine> makeEngine() override { return macaudio::makeEngine(); }

    std::optional<audio::Format> makeFormat(audio::CommonFormat common, double sampleRate, uint32_t channels,
                                            bool interleaved) override
    {
        if (common != audio::CommonFormat::Float32 && common != audio::CommonFormat::Int16) {
            return std::nullopt;
        }
        if (!(sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate) || channels == 0 ||
            channels > kMaxChannels) {
            return std::nullopt;
        }
        const audio::Format format{common, sampleRate, channels, interleaved};
        @autoreleasepool {
            if (!macaudio::systemFormat(format)) {
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
};

}  // namespace

std::unique_ptr<audio::AudioPlatform> makeSystemAudioPlatform()
{
    return std::make_unique<MacAudioPlatform>();
}
