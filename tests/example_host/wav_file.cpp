#include "wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace hosttest {

namespace {

uint16_t le16(const std::vector<uint8_t>& bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at)
{
    return static_cast<uint32_t>(le16(bytes, at)) | static_cast<uint32_t>(le16(bytes, at + 2)) << 16;
}

bool tagAt(const std::vector<uint8_t>& bytes, size_t at, const char* tag)
{
    return std::memcmp(bytes.data() + at, tag, 4) == 0;
}

}  // namespace

std::optional<WavFile> readWavFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 44 || !tagAt(bytes, 0, "RIFF") || !tagAt(bytes, 8, "WAVE") || !tagAt(bytes, 12, "fmt ") ||
        le32(bytes, 16) != 16 || !tagAt(bytes, 36, "data")) {
        if (error != nullptr) {
            *error = path + " has no plain WAV header (" + std::to_string(bytes.size()) + " bytes)";
        }
        return std::nullopt;
    }
    WavFile wav;
    wav.riffSize = le32(bytes, 4);
    wav.format = le16(bytes, 20);
    wav.channels = le16(bytes, 22);
    wav.sampleRate = le32(bytes, 24);
    wav.byteRate = le32(bytes, 28);
    wav.blockAlign = le16(bytes, 32);
    wav.bitsPerSample = le16(bytes, 34);
    wav.dataSize = le32(bytes, 40);
    wav.fileSize = bytes.size();
    wav.data.assign(bytes.begin() + 44, bytes.end());
    return wav;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    return samples;
}

}  // namespace hosttest
