#include "wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace ptthost {

namespace {

// The RIFF size field counts everything after itself: 36 header bytes and
// the data, so the data can grow to this.
constexpr uint32_t kMaxDataBytes = std::numeric_limits<uint32_t>::max() - (kWavHeaderSize - 8);

void putLe16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putLe32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool writeAll(int fd, const uint8_t* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::array<uint8_t, kWavHeaderSize> wavHeader(uint32_t sampleRate, uint32_t dataBytes)
{
    constexpr uint16_t kChannels = 1;
    constexpr uint16_t kBitsPerSample = 16;
    constexpr uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;
    std::array<uint8_t, kWavHeaderSize> header{};
    uint8_t* h = header.data();
    std::memcpy(h, "RIFF", 4);
    putLe32(h + 4, static_cast<uint32_t>(kWavHeaderSize - 8) + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLe32(h + 16, 16);  // size of the fmt chunk
    putLe16(h + 20, 1);   // integer PCM
    putLe16(h + 22, kChannels);
    putLe32(h + 24, sampleRate);
    putLe32(h + 28, sampleRate * kBlockAlign);  // bytes per second
    putLe16(h + 32, kBlockAlign);
    putLe16(h + 34, kBitsPerSample);
    std::memcpy(h + 36, "data", 4);
    putLe32(h + 40, dataBytes);
    return header;
}

std::optional<WavWriter> WavWriter::create(const std::string& path, uint32_t sampleRate, std::string& error)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // An empty header first: a file cut short by a crash still opens as WAV.
    const auto header = wavHeader(sampleRate, 0);
    if (!writeAll(fd.get(), header.data(), header.size())) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return WavWriter(std::move(fd), path, sampleRate);
}

WavWriter& WavWriter::operator=(WavWriter&& other) noexcept
{
    if (this != &other) {
        finish();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
        sampleRate_ = other.sampleRate_;
        dataBytes_ = other.dataBytes_;
        halfSample_ = other.halfSample_;
        failed_ = other.failed_;
    }
    return *this;
}

bool WavWriter::append(std::span<const uint8_t> bytes)
{
    if (!fd_ || failed_ || bytes.empty()) {
        return fd_ && !failed_;
    }
    if (halfSample_) {
        const uint8_t sample[2] = {*halfSample_, bytes.front()};
        halfSample_.reset();
        bytes = bytes.subspan(1);
        if (!writeSamples(sample, 2)) {
            return false;
        }
    }
    const size_t whole = bytes.size() & ~size_t{1};
    if (whole < bytes.size()) {
        halfSample_ = bytes.back();
    }
    return writeSamples(bytes.data(), whole);
}

bool WavWriter::writeSamples(const uint8_t* bytes, size_t size)
{
    if (size == 0) {
        return true;
    }
    if (size > kMaxDataBytes - dataBytes_ || !writeAll(fd_.get(), bytes, size)) {
        failed_ = true;
        return false;
    }
    dataBytes_ += static_cast<uint32_t>(size);
    return true;
}

bool WavWriter::finish()
{
    if (!fd_) {
        return !failed_;
    }
    const auto header = wavHeader(sampleRate_, dataBytes_);
    if (::pwrite(fd_.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
        failed_ = true;
    }
    // close() reports late write errors, so its result counts.
    if (::close(fd_.release()) != 0) {
        failed_ = true;
    }
    return !failed_;
}

}  // namespace ptthost
