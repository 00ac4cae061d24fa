#include "linux/pulse_engine.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace linuxaudio {

namespace {

using audio::Error;
using audio::Format;

// A server that accepts the socket but never answers must not hold a
// "start" forever.
constexpr pa_usec_t kConnectTimeout = 3 * PA_USEC_PER_SEC;
constexpr pa_usec_t kStreamTimeout = 3 * PA_USEC_PER_SEC;
// Small fragments instead of the server's default of seconds, so the first
// samples leave soon after "start".
constexpr pa_usec_t kFragment = 20 * PA_USEC_PER_MSEC;

constexpr uint32_t kMinimumTapFrames = 64;

// Reported while no source is known, so the recorder can still build its
// formats and learn of the failure from start().
const Format kPlaceholderFormat{audio::CommonFormat::Float32, 48000.0, 1, false};

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* loop) const
    {
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};
struct ContextDeleter {
    void operator()(pa_context* context) const
    {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct StreamDeleter {
    void operator()(pa_stream* stream) const
    {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};
struct OperationDeleter {
    void operator()(pa_operation* operation) const
    {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
    }
};
using Mainloop = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using Context = std::unique_ptr<pa_context, ContextDeleter>;
using Stream = std::unique_ptr<pa_stream, StreamDeleter>;
using Operation = std::unique_ptr<pa_operation, OperationDeleter>;

// Holds the main loop's lock, except on the loop's own thread, where
// callbacks already run with it held.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop)
        : loop_(loop && !pa_threaded_mainloop_in_thread(loop) ? loop : nullptr)
    {
        if (loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
    }
    ~LoopLock()
    {
        if (loop_) {
            pa_threaded_mainloop_unlock(loop_);
        }
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

bool capturable(const Format& format)
{
    return format.commonFormat == audio::CommonFormat::Float32 && !format.interleaved && format.channelCount > 0 &&
           format.channelCount <= PA_CHANNELS_MAX && format.sampleRate >= 1.0 && format.sampleRate <= PA_RATE_MAX;
}

class PulseEngine final : public audio::Engine, private audio::InputNode {
public:
    PulseEngine() { connect(); }

    ~PulseEngine() override
    {
        stopStream();
        {
            LoopLock lock(loop_.get());
            context_.reset();
        }
        loop_.reset();
    }

    PulseEngine(const PulseEngine&) = delete;
    PulseEngine& operator=(const PulseEngine&) = delete;

    audio::InputNode& inputNode() override { return *this; }
    void prepare() override {}

    std::optional<Error> start() override
    {
        LoopLock lock(loop_.get());
        if (failure_ != PA_OK) {
            return libraryError(failure_);
        }
        if (stream_) {
            return std::nullopt;
        }
        const int failure = connectStream();
        if (failure != PA_OK) {
            stream_.reset();
            return libraryError(failure);
        }
        // The first buffers may reach the tap while start() still waits,
        // and a block may stop the capture then: it stays stopped.
        running_ = stream_ != nullptr;
        return std::nullopt;
    }

    void setFailureBlock(audio::FailureBlock block) override
    {
        LoopLock lock(loop_.get());
        failureBlock_ = std::move(block);
    }

    void stop() override { stopStream(); }

    void reset() override
    {
        LoopLock lock(loop_.get());
        sampleTime_ = 0;
    }

    bool isRunning() const override { return running_; }

    Format inputFormat(uint32_t) override { return sourceFormat_; }

    void installTap(uint32_t, uint32_t bufferSize, const Format& format, audio::TapBlock block) override
    {
        LoopLock lock(loop_.get());
        tapFormat_ = capturable(format) ? format : sourceFormat_;
        tapBufferFrames_ = std::max(bufferSize, kMinimumTapFrames);
        tap_ = std::move(block);
    }

    // Callbacks run with the loop's lock held, so once the lock is ours no
    // tap block is running, and none starts after it is cleared.
    void removeTap(uint32_t) override
    {
        LoopLock lock(loop_.get());
        tap_ = nullptr;
    }

private:
    static Error libraryError(int code) { return Error{"pulseaudio", code, pa_strerror(code)}; }

    void connect()
    {
        loop_.reset(pa_threaded_mainloop_new());
        if (!loop_) {
            failure_ = PA_ERR_INTERNAL;
            return;
        }
        context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), "soundrelay"));
        if (!context_) {
            failure_ = PA_ERR_INTERNAL;
            return;
        }
        pa_context_set_state_callback(context_.get(), &PulseEngine::onContextState, this);
        if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            failure_ = pa_context_errno(context_.get());
            return;
        }
        if (pa_threaded_mainloop_start(loop_.get()) < 0) {
            failure_ = PA_ERR_INTERNAL;
            return;
        }
        LoopLock lock(loop_.get());
        failure_ = waitForContext();
        if (failure_ == PA_OK) {
            failure_ = learnDefaultSource();
        }
    }

    int waitForContext()
    {
        const bool settled = waitUntil(
            [this] {
                const pa_context_state_t state = pa_context_get_state(context_.get());
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
            },
            kConnectTimeout);
        if (!settled) {
            return PA_ERR_TIMEOUT;
        }
        if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) {
            return pa_context_errno(context_.get());
        }
        return PA_OK;
    }

    int learnDefaultSource()
    {
        defaultSource_.clear();
        if (const int failure = await(pa_context_get_server_info(context_.get(), &PulseEngine::onServerInfo, this));
            failure != PA_OK) {
            return failure;
        }
        if (defaultSource_.empty()) {
            return PA_ERR_NOENTITY;
        }
        sourceFound_ = false;
        if (const int failure = await(pa_context_get_source_info_by_name(context_.get(), defaultSource_.c_str(),
                                                                          &PulseEngine::onSourceInfo, this));
            failure != PA_OK) {
            return failure;
        }
        return sourceFound_ ? PA_OK : PA_ERR_NOENTITY;
    }

    int await(pa_operation* started)
    {
        if (!started) {
            return pa_context_errno(context_.get());
        }
        Operation operation(started);
        const bool done =
            waitUntil([&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; }, kConnectTimeout);
        if (!done) {
            return PA_ERR_TIMEOUT;
        }
        return pa_context_get_state(context_.get()) == PA_CONTEXT_READY ? PA_OK : pa_context_errno(context_.get());
    }

    // Waits on the loop with its lock held until `done` holds or `timeout`
    // has passed; false at the timeout.
    template <typename Done>
    bool waitUntil(Done done, pa_usec_t timeout)
    {
        timedOut_ = false;
        pa_time_event* timer =
            pa_context_rttime_new(context_.get(), pa_rtclock_now() + timeout, &PulseEngine::onTimeout, this);
        if (!timer) {
            // Without a timer the wait would have no bound.
            return done();
        }
        while (!done() && !timedOut_) {
            pa_threaded_mainloop_wait(loop_.get());
        }
        pa_threaded_mainloop_get_api(loop_.get())->time_free(timer);
        return done();
    }

    int connectStream()
    {
        const Format format = tapFormat_.channelCount > 0 ? tapFormat_ : sourceFormat_;
        const pa_sample_spec wire{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(format.sampleRate),
                                  static_cast<uint8_t>(format.channelCount)};
        streamFormat_ = format;
        stream_.reset(pa_stream_new(context_.get(), "capture", &wire, nullptr));
        if (!stream_) {
            return pa_context_errno(context_.get());
        }
        pa_stream_set_state_callback(stream_.get(), &PulseEngine::onStreamState, this);
        pa_stream_set_read_callback(stream_.get(), &PulseEngine::onRead, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(-1);
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragment, &wire));
        // No source name: the server's default source. Not moved when that
        // source goes away: the stream fails, and the host learns that its
        // recording went deaf rather than getting silence.
        if (pa_stream_connect_record(stream_.get(), nullptr, &attributes,
                                     static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) <
            0) {
            return pa_context_errno(context_.get());
        }
        const bool settled = waitUntil(
            [this] {
                if (!stream_) {
                    return true; // a tap block already stopped it
                }
                const pa_stream_state_t state = pa_stream_get_state(stream_.get());
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            kStreamTimeout);
        if (!settled) {
            return PA_ERR_TIMEOUT;
        }
        if (stream_ && pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
            return pa_context_errno(context_.get());
        }
        return PA_OK;
    }

    void stopStream()
    {
        LoopLock lock(loop_.get());
        stream_.reset();
        running_ = false;
    }

    // Hands a fragment to the tap in buffers of at most the tap's size:
    // some sources post seconds at once. The fragment's last frame is taken
    // to be captured as it arrives, and each piece is dated back from there.
    void deliver(const void* data, size_t bytes)
    {
        const size_t frameBytes = sizeof(float) * streamFormat_.channelCount;
        const auto* bytesIn = static_cast<const unsigned char*>(data);
        size_t frames = bytes / frameBytes;
        const uint64_t arrived = monotonicNanoseconds();
        while (frames > 0 && tap_) {
            const auto piece = static_cast<uint32_t>(std::min<size_t>(frames, tapBufferFrames_));
            const uint64_t age = audio::framesToNanoseconds(frames, streamFormat_.sampleRate);
            deliverPiece(bytesIn, piece, arrived > age ? arrived - age : 0);
            bytesIn += piece * frameBytes;
            frames -= piece;
        }
    }

    void deliverPiece(const unsigned char* bytesIn, uint32_t frames, uint64_t capturedAt)
    {
        const uint32_t channels = streamFormat_.channelCount;
        const size_t frameBytes = sizeof(float) * channels;
        const auto buffer = audio::PcmBuffer::make(streamFormat_, frames);
        if (!buffer) {
            return;
        }
        float* const* out = buffer->floatChannelData();
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t c = 0; c < channels; ++c) {
                std::memcpy(&out[c][i], bytesIn + i * frameBytes + c * sizeof(float), sizeof(float));
            }
        }
        buffer->setFrameLength(frames);
        const audio::AudioTime when{sampleTime_, capturedAt};
        sampleTime_ += frames;
        // A copy, so that a block removing its own tap does not destroy itself.
        const audio::TapBlock tap = tap_;
        tap(buffer, when);
    }

    static void onRead(pa_stream* stream, size_t, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        try {
            for (;;) {
                const void* data = nullptr;
                size_t bytes = 0;
                if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                    return;
                }
                // No data with a length is a hole in the stream: skipped.
                if (data) {
                    engine->deliver(data, bytes);
                }
                // A tap block that stopped the engine has released the stream.
                if (engine->stream_.get() != stream) {
                    return;
                }
                pa_stream_drop(stream);
            }
        } catch (...) {
            // A buffer that cannot be delivered is dropped; capture goes on.
        }
    }

    // A running capture that ends by itself is reported once; before start()
    // has succeeded, or after stop(), running_ is false and start() or
    // nobody learns of it.
    void captureEnded()
    {
        if (!running_.exchange(false) || !failureBlock_) {
            return;
        }
        const int code = pa_context_errno(context_.get());
        // A copy, so that a block that replaces the block does not destroy itself.
        const audio::FailureBlock block = failureBlock_;
        block(libraryError(code == PA_OK ? PA_ERR_UNKNOWN : code));
    }

    static void onContextState(pa_context* context, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            engine->reportFromCallback();
        }
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
    }

    static void onStreamState(pa_stream* stream, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            engine->reportFromCallback();
        }
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
    }

    // Nothing may escape into the library's C callbacks.
    void reportFromCallback()
    {
        try {
            captureEnded();
        } catch (...) {
        }
    }

    static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        engine->timedOut_ = true;
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        if (info && info->default_source_name) {
            engine->defaultSource_ = info->default_source_name;
        }
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self)
    {
        auto* engine = static_cast<PulseEngine*>(self);
        if (eol == 0 && info) {
            engine->sourceFound_ = true;
            engine->sourceFormat_ = Format{audio::CommonFormat::Float32, static_cast<double>(info->sample_spec.rate),
                                           info->sample_spec.channels, false};
        }
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
    }

    // Everything below is guarded by the loop's lock once the loop runs.
    Mainloop loop_;
    Context context_;
    Stream stream_;
    int failure_ = PA_OK;
    bool timedOut_ = false;
    std::string defaultSource_;
    bool sourceFound_ = false;
    Format sourceFormat_ = kPlaceholderFormat;
    Format tapFormat_{};
    Format streamFormat_{};
    audio::TapBlock tap_;
    audio::FailureBlock failureBlock_;
    uint32_t tapBufferFrames_ = kMinimumTapFrames;
    int64_t sampleTime_ = 0;
    // Read without the lock by isRunning().
    std::atomic<bool> running_{false};
};

}  // namespace

uint64_t monotonicNanoseconds()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

void keepPulseLogOffStderr()
{
    // Either variable makes the library log elsewhere; one already set wins.
    if (!std::getenv("PULSE_LOG_SYSLOG") && !std::getenv("PULSE_LOG_JOURNAL")) {
        ::setenv("PULSE_LOG_SYSLOG", "1", 0);
    }
}

std::unique_ptr<audio::Engine> makePulseEngine()
{
    return std::make_unique<PulseEngine>();
}

}  // namespace linuxaudio
