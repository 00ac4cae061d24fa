// Temporary directories and audio files written through libsndfile, for the
// tests of the Linux layer and of the recorder process.
#pragma once

#include <string>
#include <vector>

namespace soundfixtures {

// A fresh directory under the system's temporary directory, removed with
// everything in it when this goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes interleaved float frames in `format` (an SF_FORMAT_* combination);
// false when libsndfile refuses.
bool writeSoundFile(const std::string& path, int format, int sampleRate, int channels,
                    const std::vector<float>& interleaved);
// A 32-bit float WAV file.
bool writeFloatWav(const std::string& path, int sampleRate, int channels, const std::vector<float>& interleaved);

}  // namespace soundfixtures
