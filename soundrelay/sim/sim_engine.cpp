#include "sim/sim_engine.h"

namespace sim {

SimEngineCore::SimEngineCore(std::shared_ptr<SimPlatform::Shared> shared) : shared_(std::move(shared)) {}

void SimEngineCore::installTap(const TapRecord& record, audio::TapBlock block)
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->lastTap = record;
        shared_->lastTapBlock = block;
    }
    std::lock_guard lock(tapMutex_);
    tap_ = std::move(block);
}

void SimEngineCore::removeTap()
{
    bool waits = true;
    {
        std::lock_guard lock(shared_->mutex);
        ++shared_->removeTapCalls;
        waits = shared_->removeTapWaits;
        shared_->changed.notify_all();
    }
    {
        std::lock_guard lock(tapMutex_);
        tap_ = nullptr;
    }
    if (waits) {
        // A block in flight holds the delivery mutex until it returns.
        std::lock_guard wait(deliveryMutex_);
    }
}

bool SimEngineCore::deliver(const std::shared_ptr<audio::PcmBuffer>& buffer)
{
    const audio::AudioTime when{0, buffer ? captureTime(*buffer) : 0};
    std::lock_guard delivering(deliveryMutex_);
    audio::TapBlock block;
    {
        std::lock_guard lock(tapMutex_);
        block = tap_;
    }
    if (!block) {
        return false;
    }
    block(buffer, when);
    return true;
}

// A buffer delivered at the clock's now was captured up to now.
uint64_t SimEngineCore::captureTime(const audio::PcmBuffer& buffer) const
{
    std::lock_guard lock(shared_->mutex);
    const auto now = static_cast<uint64_t>(shared_->clock.count());
    const uint64_t length = audio::framesToNanoseconds(buffer.frameLength(), buffer.format().sampleRate);
    return now > length ? now - length : 0;
}

void SimEngineCore::setFailureBlock(audio::FailureBlock block)
{
    std::lock_guard lock(tapMutex_);
    failureBlock_ = std::move(block);
}

bool SimEngineCore::loseCapture(const audio::Error& error)
{
    // Held like a tap block, so that stopCapture() waits for it.
    std::lock_guard delivering(deliveryMutex_);
    audio::FailureBlock block;
    {
        std::lock_guard lock(tapMutex_);
        if (!running_ || lost_ || !failureBlock_) {
            return false;
        }
        lost_ = true;
        block = failureBlock_;
    }
    block(error);
    return true;
}

void SimEngineCore::startCapture()
{
    if (running_) {
        return;
    }
    std::vector<std::shared_ptr<audio::PcmBuffer>> script;
    std::optional<std::chrono::microseconds> period;
    {
        std::lock_guard lock(shared_->mutex);
        script = shared_->script;
        period = shared_->repeatPeriod;
    }
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = false;
    }
    {
        std::lock_guard lock(tapMutex_);
        lost_ = false;
    }
    running_ = true;
    if (!script.empty()) {
        capture_ = std::thread([this, script = std::move(script), period] { captureLoop(script, period); });
    }
}

void SimEngineCore::stopCapture()
{
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    if (capture_.joinable()) {
        capture_.join();
    }
    running_ = false;
    // A failure block in flight holds the delivery mutex until it returns.
    std::lock_guard wait(deliveryMutex_);
}

void SimEngineCore::captureLoop(std::vector<std::shared_ptr<audio::PcmBuffer>> script,
                                std::optional<std::chrono::microseconds> period)
{
    do {
        for (const auto& buffer : script) {
            {
                std::unique_lock lock(stopMutex_);
                if (stopping_) {
                    return;
                }
            }
            deliver(buffer);
            if (period) {
                std::unique_lock lock(stopMutex_);
                stopSignal_.wait_for(lock, *period, [this] { return stopping_; });
            }
        }
    } while (period);
}

SimEngine::SimEngine(std::shared_ptr<SimPlatform::Shared> shared)
    : shared_(std::move(shared)), core_(std::make_shared<SimEngineCore>(shared_))
{
}

SimEngine::~SimEngine()
{
    core_->stopCapture();
}

std::optional<audio::Error> SimEngine::start()
{
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->engineStartError) {
            return shared_->engineStartError;
        }
    }
    core_->startCapture();
    return std::nullopt;
}

void SimEngine::stop()
{
    core_->stopCapture();
}

audio::Format SimEngine::inputFormat(uint32_t)
{
    std::lock_guard lock(shared_->mutex);
    return shared_->inputFormat;
}

void SimEngine::installTap(uint32_t bus, uint32_t bufferSize, const audio::Format& format, audio::TapBlock block)
{
    core_->installTap(TapRecord{bus, bufferSize, format}, std::move(block));
}

void SimEngine::removeTap(uint32_t)
{
    core_->removeTap();
}

}  // namespace sim
