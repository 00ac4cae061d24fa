#include "linux/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace linuxaudio {

namespace {

using audio::Error;
using audio::Format;
using audio::InputStatus;
using audio::OutputStatus;
using audio::PcmBuffer;

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrHandle = std::unique_ptr<struct soxr, SoxrDeleter>;

bool usable(const Format& format)
{
    return format.commonFormat == audio::CommonFormat::Float32 && !format.interleaved &&
           std::isfinite(format.sampleRate) && format.sampleRate > 0.0 && format.channelCount > 0;
}

// libsoxr's set-up does not return for a decimation beyond 2^32.
bool ratioFits(const Format& from, const Format& to)
{
    return from.sampleRate / to.sampleRate <= 4294967296.0;
}

Error ownError(std::string description)
{
    return Error{"SoxrConverter", -1, std::move(description)};
}

// Medium quality keeps speech's fricatives: flat to past 90% of the output's
// Nyquist frequency, over 90 dB of rejection of what would fold back. What
// it holds back is flushed at the end of a recording, so only its delay while
// streaming counts: minimum phase and the smallest transform blocks keep that
// under 15 ms from 44.1, 48 or 96 kHz to 16 kHz, where high quality's longer
// filters take twice that from 96 kHz.
SoxrHandle createResampler(double fromRate, double toRate, unsigned channels, Error& error)
{
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ | SOXR_MINIMUM_PHASE, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 8;
    soxr_error_t failure = nullptr;
    SoxrHandle resampler(soxr_create(fromRate, toRate, channels, &failure, &io, &quality, &runtime));
    if (!resampler) {
        error = Error{"soxr", -1, soxr_strerror(failure)};
    }
    return resampler;
}

class SoxrConverter final : public audio::Converter {
public:
    SoxrConverter(const Format& from, const Format& to, SoxrHandle resampler)
        : from_(from), to_(to), mapped_(std::min(from.channelCount, to.channelCount)),
          resampler_(std::move(resampler)), pending_(mapped_)
    {
    }

    OutputStatus convert(PcmBuffer& output, std::optional<Error>& error, const audio::InputBlock& input) override
    {
        if (!fitsOutput(output)) {
            error = ownError("output buffer does not have the converter's output format");
            return OutputStatus::Error;
        }
        output.setFrameLength(0);
        uint32_t written = 0;
        bool inputDry = false;
        for (;;) {
            size_t taken = 0;
            size_t produced = 0;
            if (!step(output, written, taken, produced, error)) {
                return OutputStatus::Error;
            }
            written += static_cast<uint32_t>(produced);
            output.setFrameLength(written);
            if (written == output.frameCapacity()) {
                return OutputStatus::HaveData;
            }
            if (produced > 0 || taken > 0) {
                continue;
            }
            if (pendingFrames() > 0) {
                // The resampler takes no more now; the rest waits for the next call.
                return OutputStatus::InputRanDry;
            }
            if (ended_) {
                return OutputStatus::EndOfStream;
            }
            if (inputDry) {
                return OutputStatus::InputRanDry;
            }
            switch (pull(output.frameCapacity() - written, input, error)) {
            case InputStatus::HaveData:
                break;
            case InputStatus::NoDataNow:
                inputDry = true;
                break;
            case InputStatus::EndOfStream:
                ended_ = true;
                break;
            }
            if (error) {
                return OutputStatus::Error;
            }
        }
    }

private:
    bool fitsOutput(const PcmBuffer& output) const
    {
        const Format& format = output.format();
        return format.commonFormat == audio::CommonFormat::Float32 && !format.interleaved &&
               format.channelCount == to_.channelCount;
    }

    size_t pendingFrames() const { return pending_[0].size() - consumed_; }

    // Asks the input block for one buffer and keeps its samples until the
    // resampler has taken them all, however small the output buffers are.
    InputStatus pull(uint32_t wanted, const audio::InputBlock& input, std::optional<Error>& error)
    {
        InputStatus status = InputStatus::NoDataNow;
        const auto buffer = input(wantedInput(wanted), status);
        if (status != InputStatus::HaveData) {
            return status;
        }
        // An empty buffer counts as none, so that a block handing out empty
        // buffers forever cannot keep this call from returning.
        if (!buffer || buffer->frameLength() == 0) {
            return InputStatus::NoDataNow;
        }
        const Format& format = buffer->format();
        if (format.commonFormat != audio::CommonFormat::Float32 || format.interleaved ||
            format.channelCount != from_.channelCount) {
            error = ownError("input buffer does not have the converter's input format");
            return status;
        }
        const float* const* channels = buffer->floatChannelData();
        const uint32_t frames = buffer->frameLength();
        for (uint32_t c = 0; c < mapped_; ++c) {
            auto& samples = pending_[c];
            samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(consumed_));
            samples.insert(samples.end(), channels[c], channels[c] + frames);
        }
        consumed_ = 0;
        return status;
    }

    uint32_t wantedInput(uint32_t outputFrames) const
    {
        const double frames = std::ceil(outputFrames * from_.sampleRate / to_.sampleRate);
        return frames >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(frames);
    }

    // Moves as much as fits from the pending input through the resampler into
    // the output after `written` frames.
    bool step(PcmBuffer& output, uint32_t written, size_t& taken, size_t& produced, std::optional<Error>& error)
    {
        const size_t space = output.frameCapacity() - written;
        float* const* out = output.floatChannelData();
        std::vector<const float*> inPointers(mapped_);
        std::vector<float*> outPointers(mapped_);
        for (uint32_t c = 0; c < mapped_; ++c) {
            inPointers[c] = pending_[c].data() + consumed_;
            outPointers[c] = out[c] + written;
        }
        const soxr_in_t in = ended_ && pendingFrames() == 0 ? nullptr : inPointers.data();
        const soxr_error_t failure =
            soxr_process(resampler_.get(), in, pendingFrames(), &taken, outPointers.data(), space, &produced);
        if (failure) {
            error = Error{"soxr", -1, failure};
            return false;
        }
        consumed_ += taken;
        for (uint32_t c = mapped_; c < to_.channelCount; ++c) {
            std::fill(out[c] + written, out[c] + written + produced, 0.0f);
        }
        return true;
    }

    Format from_;
    Format to_;
    uint32_t mapped_;
    SoxrHandle resampler_;
    // Input taken from the input block, one array per mapped channel; the
    // first `consumed_` frames are already inside the resampler.
    std::vector<std::vector<float>> pending_;
    size_t consumed_ = 0;
    bool ended_ = false;
};

}  // namespace

std::shared_ptr<audio::Converter> makeSoxrConverter(const Format& from, const Format& to)
{
    if (!usable(from) || !usable(to) || !ratioFits(from, to)) {
        return nullptr;
    }
    const unsigned mapped = std::min(from.channelCount, to.channelCount);
    Error error;
    SoxrHandle resampler = createResampler(from.sampleRate, to.sampleRate, mapped, error);
    if (!resampler) {
        return nullptr;
    }
    return std::make_shared<SoxrConverter>(from, to, std::move(resampler));
}

}  // namespace linuxaudio
