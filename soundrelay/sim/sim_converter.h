// A deterministic converter: output channel c comes from input channel c
// (silence where the input has none), and output frame k is input frame
// floor(k * inputRate / outputRate), so equal rates pass samples through.
// Input that has not been used yet is kept for the next call.
#pragma once

#include "sim/sim_shared.h"

#include <deque>

namespace sim {

class SimConverter : public audio::Converter {
public:
    SimConverter(const audio::Format& from, const audio::Format& to, std::shared_ptr<SimPlatform::Shared> shared);

    audio::OutputStatus convert(audio::PcmBuffer& output, std::optional<audio::Error>& error,
                                const audio::InputBlock& input) override;

private:
    // Pulls until the block stops handing over data; true at end of stream.
    bool pull(const audio::InputBlock& input, std::vector<PullRecord>& record);
    void append(audio::PcmBuffer& buffer);
    // Uses no input within `holdBack` frames of the newest.
    uint32_t produce(audio::PcmBuffer& output, uint32_t holdBack);
    void dropPending();
    int64_t sourceFrame(int64_t outputFrame) const;

    audio::Format from_;
    audio::Format to_;
    std::shared_ptr<SimPlatform::Shared> shared_;
    std::vector<std::deque<float>> pending_;  // one queue per output channel
    int64_t pendingStart_ = 0;                // input frame index of pending_[c].front()
    int64_t produced_ = 0;
};

}  // namespace sim
