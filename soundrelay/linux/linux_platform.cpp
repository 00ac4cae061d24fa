#include "linux/linux_platform.h"
#include "audio/system_platform.h"

#include "linux/pulse_engine.h"
#include "linux/sndfile_reader.h"
#include "linux/soxr_converter.h"

namespace {

class LinuxAudioPlatform final : public audio::AudioPlatform {
public:
    std::unique_ptr<audio::Engine> makeEngine() override { return linuxaudio::makePulseEngine(); }

    std::optional<audio::Format> makeFormat(audio::CommonFormat common, double sampleRate, uint32_t channels,
                                            bool interleaved) override
    {
        return audio::boundedFormat(common, sampleRate, channels, interleaved);
    }

    std::shared_ptr<audio::Converter> makeConverter(const audio::Format& from, const audio::Format& to) override
    {
        return linuxaudio::makeSoxrConverter(from, to);
    }

    std::unique_ptr<audio::AudioFile> openFile(const std::string& path, audio::Error& error) override
    {
        return linuxaudio::openSndFile(path, error);
    }

    uint64_t hostTimeNow() override { return linuxaudio::monotonicNanoseconds(); }
};

}  // namespace

std::unique_ptr<audio::AudioPlatform> makeLinuxAudioPlatform()
{
    linuxaudio::keepPulseLogOffStderr();
    return std::make_unique<LinuxAudioPlatform>();
}

std::unique_ptr<audio::AudioPlatform> makeSystemAudioPlatform()
{
    return makeLinuxAudioPlatform();
}
