#include "linux/linux_platform.h"

namespace {

class LinuxAudioPlatform final : public audio::AudioPlatform {
public:
    std::unique_ptr<audio::Engine> makeEngine() override { return nullptr; }
    std::optional<audio::Format> makeFormat(audio::CommonFormat, double, uint32_t, bool) override
    {
        return std::nullopt;
    }
    std::shared_ptr<audio::Converter> makeConverter(const audio::Format&, const audio::Format&) override
    {
        return nullptr;
    }
    std::unique_ptr<audio::AudioFile> openFile(const std::string&, audio::Error& error) override
    {
        error.description = "not available";
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<audio::AudioPlatform> makeLinuxAudioPlatform()
{
    return std::make_unique<LinuxAudioPlatform>();
}
