#include "sim/sim_file.h"

#include <algorithm>

namespace sim {

SimFile::SimFile(SimFileData data, std::shared_ptr<SimPlatform::Shared> shared)
    : data_(std::move(data)), shared_(std::move(shared))
{
}

int64_t SimFile::length() const
{
    return data_.samples.empty() ? 0 : static_cast<int64_t>(data_.samples.front().size());
}

bool SimFile::read(audio::PcmBuffer& buffer, uint32_t frames, audio::Error& error)
{
    shared_->waitWhileHeld(shared_->holdReads, shared_->readsHeld);
    if (data_.failReadAtFrame && position_ >= *data_.failReadAtFrame) {
        error = audio::Error{"sim", 1, data_.readErrorDescription};
        return false;
    }
    const int64_t wanted = std::min<int64_t>({frames, length() - position_, buffer.frameCapacity()});
    const auto count = static_cast<uint32_t>(std::max<int64_t>(wanted, 0));
    const uint32_t channels = std::min<uint32_t>(buffer.format().channelCount, static_cast<uint32_t>(data_.samples.size()));
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < count; ++i) {
            writeSample(buffer, c, i, data_.samples[c][static_cast<size_t>(position_) + i]);
        }
    }
    buffer.setFrameLength(count);
    position_ += count;
    return true;
}

}  // namespace sim
