#include "sim/sim_platform.h"

#include "sim/sim_converter.h"
#include "sim/sim_engine.h"
#include "sim/sim_file.h"

#include <cmath>

namespace sim {

namespace {

// Beyond this a format is refused, as a real device layer would.
constexpr uint32_t kMaxChannels = 64;

}  // namespace

SimPlatform::SimPlatform() : shared_(std::make_shared<Shared>()) {}

SimPlatform::~SimPlatform() = default;

void SimPlatform::setInputFormat(const audio::Format& format)
{
    std::lock_guard lock(shared_->mutex);
    shared_->inputFormat = format;
}

void SimPlatform::setCaptureScript(std::vector<std::shared_ptr<audio::PcmBuffer>> buffers)
{
    std::lock_guard lock(shared_->mutex);
    shared_->script = std::move(buffers);
}

void SimPlatform::setCaptureRepeat(std::optional<std::chrono::microseconds> period)
{
    std::lock_guard lock(shared_->mutex);
    shared_->repeatPeriod = period;
}

bool SimPlatform::deliver(const std::shared_ptr<audio::PcmBuffer>& buffer)
{
    std::shared_ptr<SimEngineCore> engine;
    {
        std::lock_guard lock(shared_->mutex);
        engine = shared_->currentEngine.lock();
    }
    return engine && engine->deliver(buffer);
}

void SimPlatform::setClock(std::chrono::nanoseconds now)
{
    std::lock_guard lock(shared_->mutex);
    shared_->clock = now;
}

uint64_t SimPlatform::hostTimeNow()
{
    std::lock_guard lock(shared_->mutex);
    return static_cast<uint64_t>(shared_->clock.count());
}

bool SimPlatform::deliverToLastTap(const std::shared_ptr<audio::PcmBuffer>& buffer)
{
    audio::TapBlock block;
    {
        std::lock_guard lock(shared_->mutex);
        block = shared_->lastTapBlock;
    }
    if (!block) {
        return false;
    }
    block(buffer, audio::AudioTime{});
    return true;
}

bool SimPlatform::loseCapture(const audio::Error& error)
{
    std::shared_ptr<SimEngineCore> engine;
    {
        std::lock_guard lock(shared_->mutex);
        engine = shared_->currentEngine.lock();
    }
    return engine && engine->loseCapture(error);
}

void SimPlatform::refuseOutputFormat(bool refuse)
{
    std::lock_guard lock(shared_->mutex);
    shared_->refuseOutputFormat = refuse;
}

void SimPlatform::refuseConverter(bool refuse)
{
    std::lock_guard lock(shared_->mutex);
    shared_->refuseConverter = refuse;
}

void SimPlatform::setConvertFault(std::optional<ConvertFault> fault)
{
    std::lock_guard lock(shared_->mutex);
    shared_->convertFault = std::move(fault);
}

void SimPlatform::setEngineStartError(std::optional<audio::Error> error)
{
    std::lock_guard lock(shared_->mutex);
    shared_->engineStartError = std::move(error);
}

void SimPlatform::failBufferCreation(bool fail)
{
    std::lock_guard lock(shared_->mutex);
    shared_->failBuffers = fail;
}

void SimPlatform::setRemoveTapWaitsForBlock(bool waits)
{
    std::lock_guard lock(shared_->mutex);
    shared_->removeTapWaits = waits;
}

void SimPlatform::setConverterHoldBack(uint32_t frames)
{
    std::lock_guard lock(shared_->mutex);
    shared_->holdBackFrames = frames;
}

void SimPlatform::setExtraPulls(int pulls)
{
    std::lock_guard lock(shared_->mutex);
    shared_->extraPulls = pulls;
}

void SimPlatform::holdConverter(bool hold)
{
    std::lock_guard lock(shared_->mutex);
    shared_->holdConvert = hold;
    shared_->changed.notify_all();
}

bool SimPlatform::waitConverterHeld(std::chrono::milliseconds timeout)
{
    return shared_->waitFor(timeout, [this] { return shared_->convertsHeld > 0; });
}

void SimPlatform::holdFileReads(bool hold)
{
    std::lock_guard lock(shared_->mutex);
    shared_->holdReads = hold;
    shared_->changed.notify_all();
}

bool SimPlatform::waitFileReadHeld(std::chrono::milliseconds timeout)
{
    return shared_->waitFor(timeout, [this] { return shared_->readsHeld > 0; });
}

void SimPlatform::addFile(const std::string& path, SimFileData data)
{
    std::lock_guard lock(shared_->mutex);
    shared_->files[path] = std::move(data);
}

int SimPlatform::enginesMade() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->enginesMade;
}

int SimPlatform::removeTapCalls() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->removeTapCalls;
}

bool SimPlatform::waitRemoveTapCalls(int atLeast, std::chrono::milliseconds timeout)
{
    return shared_->waitFor(timeout, [&] { return shared_->removeTapCalls >= atLeast; });
}

int SimPlatform::fileOpens() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->fileOpens;
}

std::optional<TapRecord> SimPlatform::lastTap() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->lastTap;
}

std::vector<std::vector<PullRecord>> SimPlatform::pullsPerConvert() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->pulls;
}

bool SimPlatform::currentEngineRunning() const
{
    std::lock_guard lock(shared_->mutex);
    auto engine = shared_->currentEngine.lock();
    return engine && engine->running();
}

std::unique_ptr<audio::Engine> SimPlatform::makeEngine()
{
    auto engine = std::make_unique<SimEngine>(shared_);
    std::lock_guard lock(shared_->mutex);
    ++shared_->enginesMade;
    shared_->currentEngine = engine->core();
    return engine;
}

std::optional<audio::Format> SimPlatform::makeFormat(audio::CommonFormat common, double sampleRate, uint32_t channels,
                                                     bool interleaved)
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->refuseOutputFormat) {
        return std::nullopt;
    }
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0 || channels == 0 || channels > kMaxChannels) {
        return std::nullopt;
    }
    return audio::Format{common, sampleRate, channels, interleaved};
}

std::shared_ptr<audio::Converter> SimPlatform::makeConverter(const audio::Format& from, const audio::Format& to)
{
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->refuseConverter) {
            return nullptr;
        }
    }
    if (from.channelCount == 0 || to.channelCount == 0 || !(from.sampleRate > 0.0) || !(to.sampleRate > 0.0)) {
        return nullptr;
    }
    return std::make_shared<SimConverter>(from, to, shared_);
}

std::unique_ptr<audio::AudioFile> SimPlatform::openFile(const std::string& path, audio::Error& error)
{
    std::lock_guard lock(shared_->mutex);
    ++shared_->fileOpens;
    auto found = shared_->files.find(path);
    if (found == shared_->files.end()) {
        error = audio::Error{"sim", 2, "sim_file_not_found"};
        return nullptr;
    }
    return std::make_unique<SimFile>(found->second, shared_);
}

std::shared_ptr<audio::PcmBuffer> SimPlatform::makeBuffer(const audio::Format& format, uint32_t frameCapacity)
{
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->failBuffers) {
            return nullptr;
        }
    }
    return audio::PcmBuffer::make(format, frameCapacity);
}

}  // namespace sim
