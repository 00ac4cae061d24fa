#include "linux/sndfile_reader.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace linuxaudio {

namespace {

using audio::Error;
using audio::Format;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

class SndFileReader final : public audio::AudioFile {
public:
    SndFileReader(SndfileHandle file, const SF_INFO& info)
        : file_(std::move(file)), format_{audio::CommonFormat::Float32, static_cast<double>(info.samplerate),
                                          static_cast<uint32_t>(info.channels), false},
          length_(info.frames)
    {
    }

    Format processingFormat() const override { return format_; }
    int64_t length() const override { return length_; }
    int64_t framePosition() const override { return position_; }

    bool read(audio::PcmBuffer& buffer, uint32_t frames, Error& error) override
    {
        const Format& format = buffer.format();
        if (format.commonFormat != audio::CommonFormat::Float32 || format.interleaved ||
            format.channelCount != format_.channelCount) {
            error = Error{"SndFileReader", -1, "buffer does not have the file's processing format"};
            return false;
        }
        const uint32_t wanted = std::min(frames, buffer.frameCapacity());
        const size_t channels = format_.channelCount;
        interleaved_.resize(size_t{wanted} * channels);
        const sf_count_t got = sf_readf_float(file_.get(), interleaved_.data(), wanted);
        if (got < 0 || (got < wanted && sf_error(file_.get()) != SF_ERR_NO_ERROR)) {
            error = Error{"sndfile", sf_error(file_.get()), sf_strerror(file_.get())};
            buffer.setFrameLength(0);
            return false;
        }
        deinterleave(buffer, static_cast<uint32_t>(got));
        position_ += got;
        return true;
    }

private:
    void deinterleave(audio::PcmBuffer& buffer, uint32_t frames) const
    {
        const size_t channels = format_.channelCount;
        float* const* out = buffer.floatChannelData();
        for (size_t c = 0; c < channels; ++c) {
            for (uint32_t i = 0; i < frames; ++i) {
                out[c][i] = interleaved_[i * channels + c];
            }
        }
        buffer.setFrameLength(frames);
    }

    SndfileHandle file_;
    Format format_;
    int64_t length_ = 0;
    int64_t position_ = 0;
    std::vector<float> interleaved_;
};

}  // namespace

std::unique_ptr<audio::AudioFile> openSndFile(const std::string& path, Error& error)
{
    // The C path would end at the NUL and name another file.
    if (path.find('\0') != std::string::npos) {
        error = Error{"sndfile", SF_ERR_SYSTEM, "path contains a NUL byte"};
        return nullptr;
    }
    // Opening a FIFO for reading waits for a writer, and would hold up the
    // command loop; only files that exist as such are fixtures.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        error = Error{"sndfile", SF_ERR_SYSTEM, "not a regular file"};
        return nullptr;
    }
    SF_INFO info{};
    SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = Error{"sndfile", sf_error(nullptr), sf_strerror(nullptr)};
        return nullptr;
    }
    if (info.samplerate <= 0 || info.channels <= 0) {
        error = Error{"sndfile", SF_ERR_UNRECOGNISED_FORMAT, "file has no sample rate or no channels"};
        return nullptr;
    }
    return std::make_unique<SndFileReader>(std::move(file), info);
}

}  // namespace linuxaudio
