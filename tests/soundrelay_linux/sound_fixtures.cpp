#include "sound_fixtures.h"

#include <sndfile.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

namespace soundfixtures {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "soundrelay-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
        path_ = pattern;
    }
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

bool writeSoundFile(const std::string& path, int format, int sampleRate, int channels,
                    const std::vector<float>& interleaved)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    struct Closer {
        void operator()(SNDFILE* file) const { sf_close(file); }
    };
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        return false;
    }
    const auto frames = static_cast<sf_count_t>(interleaved.size() / static_cast<size_t>(channels));
    return sf_writef_float(file.get(), interleaved.data(), frames) == frames;
}

bool writeFloatWav(const std::string& path, int sampleRate, int channels, const std::vector<float>& interleaved)
{
    return writeSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, sampleRate, channels, interleaved);
}

}  // namespace soundfixtures
