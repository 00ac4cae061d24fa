// The simulated capture engine: a tap on bus 0 and a capture thread that
// plays the platform's script into it.
#pragma once

#include "sim/sim_shared.h"

#include <atomic>
#include <thread>

namespace sim {

// The engine's state, shared with the platform so that the test can push
// buffers into the current engine's tap.
class SimEngineCore {
public:
    explicit SimEngineCore(std::shared_ptr<SimPlatform::Shared> shared);

    void installTap(const TapRecord& record, audio::TapBlock block);
    void removeTap();
    bool deliver(const std::shared_ptr<audio::PcmBuffer>& buffer);
    void setFailureBlock(audio::FailureBlock block);
    // Reports `error` through the failure block, once per running capture.
    bool loseCapture(const audio::Error& error);

    void startCapture();
    void stopCapture();
    bool running() const { return running_.load(); }

private:
    void captureLoop(std::vector<std::shared_ptr<audio::PcmBuffer>> script,
                     std::optional<std::chrono::microseconds> period);
    uint64_t captureTime(const audio::PcmBuffer& buffer) const;

    std::shared_ptr<SimPlatform::Shared> shared_;
    std::mutex deliveryMutex_;  // held while a tap block runs
    std::mutex tapMutex_;       // guards tap_
    audio::TapBlock tap_;
    audio::FailureBlock failureBlock_;  // guarded by tapMutex_
    bool lost_ = false;                 // guarded by tapMutex_
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;  // guarded by stopMutex_
    std::atomic<bool> running_{false};
    std::thread capture_;
};

class SimEngine : public audio::Engine, private audio::InputNode {
public:
    explicit SimEngine(std::shared_ptr<SimPlatform::Shared> shared);
    ~SimEngine() override;

    audio::InputNode& inputNode() override { return *this; }
    void prepare() override {}
    std::optional<audio::Error> start() override;
    void setFailureBlock(audio::FailureBlock block) override { core_->setFailureBlock(std::move(block)); }
    void stop() override;
    void reset() override {}
    bool isRunning() const override { return core_->running(); }

    std::shared_ptr<SimEngineCore> core() const { return core_; }

private:
    audio::Format inputFormat(uint32_t bus) override;
    void installTap(uint32_t bus, uint32_t bufferSize, const audio::Format& format, audio::TapBlock block) override;
    void removeTap(uint32_t bus) override;

    std::shared_ptr<SimPlatform::Shared> shared_;
    std::shared_ptr<SimEngineCore> core_;
};

}  // namespace sim
