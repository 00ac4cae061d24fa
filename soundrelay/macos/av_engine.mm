// Capture from the default input device through the system's audio engine:
// a tap on bus 0 of the engine's input node.
#include "macos/av_bridge.h"

#include <mutex>
#include <optional>

namespace macaudio {

namespace {

// What the engine's tap block reaches the model's tap through. The block
// holds this and not the engine, so the engine may go first; clearing
// `block` under the mutex waits for a call in flight, which the engine's
// own tap removal does not promise.
struct TapSlot {
    std::mutex mutex;
    audio::TapBlock block;
};

// What the configuration-change observer reaches the failure block
// through, held weakly by the observer.
struct FailureSlot {
    std::mutex mutex;
    audio::FailureBlock block;
    bool armed = false;  // from a successful start() to its report or stop()
};

void deliver(TapSlot& slot, AVAudioPCMBuffer* buffer, AVAudioTime* when)
{
    @autoreleasepool {
        std::lock_guard lock(slot.mutex);
        if (!slot.block) {
            return;
        }
        // Nothing may escape into the engine's thread.
        try {
            if (auto copy = modelCopy(buffer)) {
                slot.block(copy, modelTime(when));
            }
        } catch (...) {
        }
    }
}

// The engine has stopped and uninitialized itself: the input device or its
// format changed under it. The capture is over until the recorder starts
// another.
void reportConfigurationChange(FailureSlot& slot)
{
    std::lock_guard lock(slot.mutex);
    if (!slot.armed || !slot.block) {
        return;
    }
    slot.armed = false;
    try {
        const audio::FailureBlock block = slot.block;
        block(ownError("input_configuration_changed"));
    } catch (...) {
    }
}

bool hasAudio(AVAudioFormat* format)
{
    return format && format.channelCount > 0 && format.sampleRate > 0.0;
}

// Null when the engine took the tap; the refusal it raised otherwise.
std::optional<audio::Error> tryInstallTap(AVAudioInputNode* node, uint32_t bus, uint32_t bufferSize,
                                          AVAudioFormat* format, AVAudioNodeTapBlock block)
{
    std::optional<audio::Error> refused;
    @try {
        [node installTapOnBus:bus bufferSize:bufferSize format:format block:block];
    } @catch (NSException* exception) {
        refused = exceptionError(exception);
    }
    return refused;
}

// Denied or restricted access to the microphone does not stop the engine:
// it starts and delivers silence, which would pass for a recording. Not
// determined goes ahead, and the system asks the user as the engine starts.
std::optional<audio::Error> microphoneRefusal()
{
    const AVAuthorizationStatus status = [AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio];
    if (status == AVAuthorizationStatusDenied || status == AVAuthorizationStatusRestricted) {
        return ownError("microphone_access_denied");
    }
    return std::nullopt;
}

class AVEngine final : public audio::Engine, private audio::InputNode {
public:
    AVEngine() : engine_([[AVAudioEngine alloc] init]) {}

    ~AVEngine() override
    {
        removeTap(0);
        stop();
    }

    AVEngine(const AVEngine&) = delete;
    AVEngine& operator=(const AVEngine&) = delete;

    audio::InputNode& inputNode() override { return *this; }

    // The input scope of the input node is the device's own format; a
    // rate or channel count of 0 means there is no input to be had.
    audio::Format inputFormat(uint32_t bus) override
    {
        @autoreleasepool {
            audio::Format format = modelFormat([engine_.inputNode inputFormatForBus:bus]);
            // What the tap delivers, after the copy into the model.
            format.commonFormat = audio::CommonFormat::Float32;
            format.interleaved = false;
            return format;
        }
    }

    // The tap takes the node's input format on the bus, the device's own
    // format, whatever format is asked for: the node does not convert
    // rates, and some devices run at a rate the output format does not
    // report, where a tap in the output format never gets a buffer. Should
    // the engine refuse the input format, the output format serves, if it
    // has the same rate: the converter was made for that rate.
    void installTap(uint32_t bus, uint32_t bufferSize, const audio::Format&, audio::TapBlock block) override
    {
        @autoreleasepool {
            AVAudioInputNode* node = engine_.inputNode;
            AVAudioFormat* format = [node inputFormatForBus:bus];
            if (!hasAudio(format)) {
                setUpError_ = ownError("no_audio_input_device");
                return;
            }
            {
                std::lock_guard lock(tap_->mutex);
                tap_->block = std::move(block);
            }
            const std::shared_ptr<TapSlot> slot = tap_;
            AVAudioNodeTapBlock tapBlock = ^(AVAudioPCMBuffer* buffer, AVAudioTime* when) {
                deliver(*slot, buffer, when);
            };
            std::optional<audio::Error> refused = tryInstallTap(node, bus, bufferSize, format, tapBlock);
            AVAudioFormat* fallback = [node outputFormatForBus:bus];
            if (refused && hasAudio(fallback) && fallback.sampleRate == format.sampleRate) {
                refused = tryInstallTap(node, bus, bufferSize, fallback, tapBlock);
            }
            tapInstalled_ = !refused;
            setUpError_ = refused;
        }
    }

    void removeTap(uint32_t bus) override
    {
        if (tapInstalled_) {
            @autoreleasepool {
                [engine_.inputNode removeTapOnBus:bus];
            }
            tapInstalled_ = false;
        }
        std::lock_guard lock(tap_->mutex);
        tap_->block = nullptr;
    }

    void prepare() override
    {
        @autoreleasepool {
            @try {
                [engine_ prepare];
            } @catch (NSException* exception) {
                setUpError_ = exceptionError(exception);
            }
        }
    }

    std::optional<audio::Error> start() override
    {
        if (auto refused = microphoneRefusal()) {
            return refused;
        }
        if (setUpError_) {
            return setUpError_;
        }
        @autoreleasepool {
            NSError* error = nil;
            BOOL started = NO;
            @try {
                started = [engine_ startAndReturnError:&error];
            } @catch (NSException* exception) {
                return exceptionError(exception);
            }
            if (!started) {
                return systemError(error, "engine_start_failed");
            }
            observeConfigurationChanges();
            return std::nullopt;
        }
    }

    void setFailureBlock(audio::FailureBlock block) override
    {
        std::lock_guard lock(failure_->mutex);
        failure_->block = std::move(block);
    }

    // Once the slot is disarmed under its mutex, no report is running and
    // none follows.
    void stop() override
    {
        {
            std::lock_guard lock(failure_->mutex);
            failure_->armed = false;
        }
        @autoreleasepool {
            if (observer_) {
                [[NSNotificationCenter defaultCenter] removeObserver:observer_];
                observer_ = nil;
            }
            [engine_ stop];
        }
    }

    void reset() override
    {
        @autoreleasepool {
            [engine_ reset];
        }
    }

    bool isRunning() const override { return [engine_ isRunning] ? true : false; }

private:
    // Only the report happens in the notification's handler: the engine is
    // released later, by the recorder's teardown on its own thread.
    void observeConfigurationChanges()
    {
        {
            std::lock_guard lock(failure_->mutex);
            failure_->armed = true;
        }
        if (observer_) {
            return;
        }
        const std::weak_ptr<FailureSlot> weakSlot = failure_;
        observer_ = [[NSNotificationCenter defaultCenter]
            addObserverForName:AVAudioEngineConfigurationChangeNotification
                        object:engine_
                         queue:nil
                    usingBlock:^(NSNotification* notification) {
                        (void)notification;
                        if (const auto slot = weakSlot.lock()) {
                            reportConfigurationChange(*slot);
                        }
                    }];
    }

    AVAudioEngine* engine_;
    id<NSObject> observer_ = nil;
    std::optional<audio::Error> setUpError_;
    bool tapInstalled_ = false;
    const std::shared_ptr<TapSlot> tap_ = std::make_shared<TapSlot>();
    const std::shared_ptr<FailureSlot> failure_ = std::make_shared<FailureSlot>();
};

}  // namespace

uint64_t hostTimeNanoseconds(uint64_t hostTime)
{
    return static_cast<uint64_t>([AVAudioTime secondsForHostTime:hostTime] * 1e9);
}

audio::AudioTime modelTime(AVAudioTime* when)
{
    audio::AudioTime time;
    if (when.sampleTimeValid) {
        time.sampleTime = when.sampleTime;
    }
    if (when.hostTimeValid) {
        time.hostTime = hostTimeNanoseconds(when.hostTime);
    }
    return time;
}

std::unique_ptr<audio::Engine> makeEngine()
{
    return std::make_unique<AVEngine>();
}

}  // namespace macaudio
