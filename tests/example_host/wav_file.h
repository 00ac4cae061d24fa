// A 16-bit mono WAV file read back and checked field by field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hosttest {

struct WavFile {
    uint32_t riffSize = 0;
    uint16_t format = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint32_t dataSize = 0;
    size_t fileSize = 0;
    std::vector<uint8_t> data;  // what follows the 44-byte header
};

// Empty, with `error` saying what is wrong, when the file cannot be read or
// its chunk names are not those of a plain 44-byte WAV header.
std::optional<WavFile> readWavFile(const std::string& path, std::string* error);

// Little-endian 16-bit samples.
std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes);

}  // namespace hosttest
