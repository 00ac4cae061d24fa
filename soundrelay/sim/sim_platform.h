// A simulated audio platform for tests: a scripted microphone, a simple
// deterministic converter, in-memory audio files and injectable faults.
// Every knob may be set from the test's thread while the recorder runs.
#pragma once

#include "audio/audio_model.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class SimEngineCore;

// What a converter call returns instead of converting, when set.
struct ConvertFault {
    audio::OutputStatus status = audio::OutputStatus::Error;
    std::optional<audio::Error> error;
};

// An in-memory audio file. `samples` holds one array per channel.
struct SimFileData {
    audio::Format processingFormat{audio::CommonFormat::Float32, 16000.0, 1, false};
    std::vector<std::vector<float>> samples;
    // Reads starting at or after this frame fail with `readErrorDescription`.
    std::optional<int64_t> failReadAtFrame;
    std::string readErrorDescription = "sim_read_error";
};

// What the tap of the current engine was installed with.
struct TapRecord {
    uint32_t bus = 0;
    uint32_t bufferSize = 0;
    audio::Format format;
};

// How many times the converter pulled and what the input block answered.
struct PullRecord {
    audio::InputStatus status = audio::InputStatus::NoDataNow;
    const audio::PcmBuffer* buffer = nullptr;
};

class SimPlatform : public audio::AudioPlatform {
public:
    SimPlatform();
    ~SimPlatform() override;

    // --- the microphone ---
    void setInputFormat(const audio::Format& format);
    // Buffers the capture thread delivers, in order, once the engine runs.
    void setCaptureScript(std::vector<std::shared_ptr<audio::PcmBuffer>> buffers);
    // With a period, the capture thread repeats the script until the engine
    // stops, one buffer per period (the simulated device clock).
    void setCaptureRepeat(std::optional<std::chrono::microseconds> period);

    // Calls the current engine's tap block on this thread, as the capture
    // thread would. False when no engine has a tap installed. Once the
    // clock is set, the buffer is dated as captured up to that moment.
    bool deliver(const std::shared_ptr<audio::PcmBuffer>& buffer);
    // The platform's clock (hostTimeNow); zero, the start, means none.
    void setClock(std::chrono::nanoseconds now);
    // Calls the last tap block ever installed, even after its removal: a
    // buffer that arrives after teardown. False when there never was one.
    bool deliverToLastTap(const std::shared_ptr<audio::PcmBuffer>& buffer);

    // --- faults ---
    // The current engine's capture fails with `error`, as when the device
    // or the audio server goes away. False when nothing was told of it.
    bool loseCapture(const audio::Error& error);
    void refuseOutputFormat(bool refuse);
    void refuseConverter(bool refuse);
    void setConvertFault(std::optional<ConvertFault> fault);
    void setEngineStartError(std::optional<audio::Error> error);
    void failBufferCreation(bool fail);
    // When false, removeTap returns even while a tap block runs.
    void setRemoveTapWaitsForBlock(bool waits);
    // The converter keeps the last `frames` input frames back until end of
    // input, as a real resampler's filter does.
    void setConverterHoldBack(uint32_t frames);
    // The converter makes this many more pulls after the input ran dry.
    void setExtraPulls(int pulls);
    // While held, every convert call blocks after pulling its input.
    void holdConverter(bool hold);
    // Waits (bounded) until a convert call is blocked by holdConverter.
    bool waitConverterHeld(std::chrono::milliseconds timeout);
    // While held, every file read blocks before reading.
    void holdFileReads(bool hold);
    bool waitFileReadHeld(std::chrono::milliseconds timeout);

    // --- files ---
    void addFile(const std::string& path, SimFileData data);

    // --- observations ---
    int enginesMade() const;
    int removeTapCalls() const;
    bool waitRemoveTapCalls(int atLeast, std::chrono::milliseconds timeout);
    int fileOpens() const;
    std::optional<TapRecord> lastTap() const;
    std::vector<std::vector<PullRecord>> pullsPerConvert() const;
    bool currentEngineRunning() const;

    // --- audio::AudioPlatform ---
    std::unique_ptr<audio::Engine> makeEngine() override;
    std::optional<audio::Format> makeFormat(audio::CommonFormat common, double sampleRate, uint32_t channels,
                                            bool interleaved) override;
    std::shared_ptr<audio::Converter> makeConverter(const audio::Format& from, const audio::Format& to) override;
    std::unique_ptr<audio::AudioFile> openFile(const std::string& path, audio::Error& error) override;
    std::shared_ptr<audio::PcmBuffer> makeBuffer(const audio::Format& format, uint32_t frameCapacity) override;
    uint64_t hostTimeNow() override;

    // Used by the simulated engine, converter and files.
    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

// Builds a Float32 buffer of `format` whose channel c holds channels[c].
std::shared_ptr<audio::PcmBuffer> makeFloatBuffer(const audio::Format& format,
                                                  const std::vector<std::vector<float>>& channels);

}  // namespace sim
