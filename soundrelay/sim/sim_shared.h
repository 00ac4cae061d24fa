// State shared by the simulated platform and the objects it makes. One
// mutex guards all of it; `changed` is signalled whenever a counter moves.
#pragma once

#include "sim/sim_platform.h"

#include <functional>

namespace sim {

struct SimPlatform::Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;

    audio::Format inputFormat{audio::CommonFormat::Float32, 48000.0, 1, false};
    std::vector<std::shared_ptr<audio::PcmBuffer>> script;
    std::optional<std::chrono::microseconds> repeatPeriod;

    bool refuseOutputFormat = false;
    bool refuseConverter = false;
    bool failBuffers = false;
    std::optional<ConvertFault> convertFault;
    std::optional<audio::Error> engineStartError;
    bool removeTapWaits = true;
    int extraPulls = 0;
    uint32_t holdBackFrames = 0;
    bool holdConvert = false;
    int convertsHeld = 0;
    bool holdReads = false;
    int readsHeld = 0;

    std::chrono::nanoseconds clock{0};

    std::map<std::string, SimFileData> files;

    int enginesMade = 0;
    int removeTapCalls = 0;
    int fileOpens = 0;
    std::optional<TapRecord> lastTap;
    std::vector<std::vector<PullRecord>> pulls;
    std::weak_ptr<SimEngineCore> currentEngine;
    audio::TapBlock lastTapBlock;

    // Blocks while `held` says so, counting itself in `waiting`.
    void waitWhileHeld(const bool& held, int& waiting)
    {
        std::unique_lock lock(mutex);
        if (!held) {
            return;
        }
        ++waiting;
        changed.notify_all();
        changed.wait(lock, [&] { return !held; });
        --waiting;
    }

    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

// Sample access for any Float32 or Int16 buffer, interleaved or not.
float readSample(audio::PcmBuffer& buffer, uint32_t channel, uint32_t frame);
void writeSample(audio::PcmBuffer& buffer, uint32_t channel, uint32_t frame, float value);

}  // namespace sim
