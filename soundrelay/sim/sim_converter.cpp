#include "sim/sim_converter.h"

#include <cmath>

namespace sim {

namespace {

constexpr int kMaxPulls = 64;

}  // namespace

SimConverter::SimConverter(const audio::Format& from, const audio::Format& to,
                           std::shared_ptr<SimPlatform::Shared> shared)
    : from_(from), to_(to), shared_(std::move(shared)), pending_(to.channelCount)
{
}

audio::OutputStatus SimConverter::convert(audio::PcmBuffer& output, std::optional<audio::Error>& error,
                                          const audio::InputBlock& input)
{
    std::vector<PullRecord> record;
    const bool endOfStream = pull(input, record);
    std::optional<ConvertFault> fault;
    int extra = 0;
    uint32_t holdBack = 0;
    {
        std::lock_guard lock(shared_->mutex);
        fault = shared_->convertFault;
        extra = shared_->extraPulls;
        holdBack = shared_->holdBackFrames;
    }
    for (int i = 0; i < extra; ++i) {
        audio::InputStatus status = audio::InputStatus::NoDataNow;
        auto buffer = input(1024, status);
        record.push_back(PullRecord{status, buffer.get()});
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->pulls.push_back(record);
        shared_->changed.notify_all();
    }
    shared_->waitWhileHeld(shared_->holdConvert, shared_->convertsHeld);

    if (fault) {
        dropPending();
        error = fault->error;
        return fault->status;
    }
    const uint32_t frames = produce(output, endOfStream ? 0 : holdBack);
    output.setFrameLength(frames);
    if (endOfStream && pending_.front().empty()) {
        return audio::OutputStatus::EndOfStream;
    }
    return frames == output.frameCapacity() ? audio::OutputStatus::HaveData : audio::OutputStatus::InputRanDry;
}

bool SimConverter::pull(const audio::InputBlock& input, std::vector<PullRecord>& record)
{
    for (int i = 0; i < kMaxPulls; ++i) {
        audio::InputStatus status = audio::InputStatus::NoDataNow;
        auto buffer = input(1024, status);
        record.push_back(PullRecord{status, buffer.get()});
        if (status == audio::InputStatus::EndOfStream) {
            return true;
        }
        if (status != audio::InputStatus::HaveData || !buffer) {
            return false;
        }
        append(*buffer);
    }
    return false;
}

void SimConverter::append(audio::PcmBuffer& buffer)
{
    const uint32_t sourceChannels = buffer.format().channelCount;
    for (uint32_t c = 0; c < pending_.size(); ++c) {
        for (uint32_t i = 0; i < buffer.frameLength(); ++i) {
            pending_[c].push_back(c < sourceChannels ? readSample(buffer, c, i) : 0.0f);
        }
    }
}

// A failed conversion loses the input it was given.
void SimConverter::dropPending()
{
    const int64_t available = pendingStart_ + static_cast<int64_t>(pending_.front().size());
    while (sourceFrame(produced_) < available) {
        ++produced_;
    }
    for (auto& queue : pending_) {
        queue.clear();
    }
    pendingStart_ = available;
}

int64_t SimConverter::sourceFrame(int64_t outputFrame) const
{
    return static_cast<int64_t>(std::floor(static_cast<double>(outputFrame) * from_.sampleRate / to_.sampleRate));
}

uint32_t SimConverter::produce(audio::PcmBuffer& output, uint32_t holdBack)
{
    if (pending_.empty()) {
        return 0;
    }
    const int64_t available = pendingStart_ + static_cast<int64_t>(pending_.front().size());
    const int64_t usable = available - int64_t{holdBack};
    uint32_t frames = 0;
    while (frames < output.frameCapacity()) {
        const int64_t source = sourceFrame(produced_);
        if (source >= usable) {
            break;
        }
        for (uint32_t c = 0; c < pending_.size(); ++c) {
            writeSample(output, c, frames, pending_[c][static_cast<size_t>(source - pendingStart_)]);
        }
        ++frames;
        ++produced_;
    }
    // Drop what no later output frame can use.
    const int64_t keepFrom = std::min(sourceFrame(produced_), available);
    while (pendingStart_ < keepFrom) {
        for (auto& queue : pending_) {
            queue.pop_front();
        }
        ++pendingStart_;
    }
    return frames;
}

}  // namespace sim
