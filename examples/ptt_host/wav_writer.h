// One utterance as a WAV file: 16-bit mono PCM written as it arrives, with
// the header's sizes patched in when the utterance ends.
#pragma once

#include "unique_fd.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ptthost {

inline constexpr size_t kWavHeaderSize = 44;

// The header of a 16-bit mono PCM WAV file carrying `dataBytes` of samples.
std::array<uint8_t, kWavHeaderSize> wavHeader(uint32_t sampleRate, uint32_t dataBytes);

class WavWriter {
public:
    // Creates (or truncates) `path`; empty with `error` set when it cannot.
    static std::optional<WavWriter> create(const std::string& path, uint32_t sampleRate, std::string& error);

    WavWriter(WavWriter&&) noexcept = default;
    // The file being replaced is finished first.
    WavWriter& operator=(WavWriter&& other) noexcept;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    // Finishes the file if that has not been done.
    ~WavWriter() { finish(); }

    // Appends little-endian 16-bit samples. The pipe they come from is a
    // byte stream, so a read may end inside a sample: that byte waits for
    // the next call. False once a write has failed.
    bool append(std::span<const uint8_t> bytes);

    // Writes the real sizes into the header and closes the file; a half
    // sample left over is dropped. False when any write failed.
    bool finish();

    uint32_t sampleCount() const { return dataBytes_ / 2; }
    double seconds() const { return static_cast<double>(sampleCount()) / sampleRate_; }
    const std::string& path() const { return path_; }

private:
    WavWriter(UniqueFd fd, std::string path, uint32_t sampleRate)
        : fd_(std::move(fd)), path_(std::move(path)), sampleRate_(sampleRate)
    {
    }
    bool writeSamples(const uint8_t* bytes, size_t size);

    UniqueFd fd_;
    std::string path_;
    uint32_t sampleRate_ = 0;
    uint32_t dataBytes_ = 0;
    std::optional<uint8_t> halfSample_;
    bool failed_ = false;
};

}  // namespace ptthost
