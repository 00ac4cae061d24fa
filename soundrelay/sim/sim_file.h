// An in-memory audio file that reads like a real one.
#pragma once

#include "sim/sim_shared.h"

namespace sim {

class SimFile : public audio::AudioFile {
public:
    SimFile(SimFileData data, std::shared_ptr<SimPlatform::Shared> shared);

    audio::Format processingFormat() const override { return data_.processingFormat; }
    int64_t length() const override;
    int64_t framePosition() const override { return position_; }
    bool read(audio::PcmBuffer& buffer, uint32_t frames, audio::Error& error) override;

private:
    SimFileData data_;
    std::shared_ptr<SimPlatform::Shared> shared_;
    int64_t position_ = 0;
};

}  // namespace sim
