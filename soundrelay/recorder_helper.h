// The recorder: reads commands, runs live and fixture recordings, writes
// events and the PCM16 stream.
#pragma once

#include "audio/audio_model.h"
#include "cancellable_write.h"
#include "command.h"
#include "event.h"
#include "capture_clock.h"
#include "frame_ring.h"
#include "playback_control.h"
#include "serial_worker.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace recorder {

struct Descriptors {
    int input = 0;   // command lines
    int output = 1;  // events
    int pcm = 3;     // PCM16 stream; never read, never closed
};

class RecorderHelper {
public:
    RecorderHelper(audio::AudioPlatform& platform, Descriptors descriptors);
    // Ends any recording without an event and waits for its threads.
    ~RecorderHelper();

    RecorderHelper(const RecorderHelper&) = delete;
    RecorderHelper& operator=(const RecorderHelper&) = delete;

    // Runs the command loop on a thread of its own and parks the calling
    // thread; the process exits with status 0 at end of input.
    [[noreturn]] void run();

    // The command loop on the calling thread. At end of input it performs
    // "stop" and returns.
    void runUntilEndOfInput();

private:
    // What the tap block reaches the recorder through. The destructor
    // clears `helper`, so a tap block that outlives the recorder does
    // nothing; `mutex` is held for the whole of a tapped buffer's
    // conversion, which lets teardown wait for a buffer in flight.
    struct TapGate {
        std::mutex mutex;
        RecorderHelper* helper = nullptr;  // guarded by mutex
    };

    void handleLine(const std::string& rawLine);
    void dispatch(const Command& command);

    // The recording path of a live start: output format and converter.
    struct RecordingPath {
        audio::Format outputFormat;
        std::shared_ptr<audio::Converter> converter;
    };

    // Live capture.
    std::optional<audio::Error> start(double sampleRate, int64_t channels, const std::optional<std::string>& fixturePath,
                                      std::optional<double> preRollMs);
    std::optional<audio::Error> startLive(double sampleRate, int64_t channels, std::optional<double> preRollMs);
    // The event of a live recording that has started.
    static Event liveStarted(double sampleRate, int64_t channels, double inputSampleRate);
    std::optional<RecordingPath> makeRecordingPath(const audio::Format& inputFormat, double sampleRate,
                                                   int64_t channels, std::optional<audio::Error>& failure);
    void stop();
    // Ends the recording but keeps a standby capture running.
    void endRecording(bool keepHeldBack);
    // With `keepHeldBack`, what the converter still holds is written out
    // after the last tapped buffer.
    void teardownEngine(bool keepHeldBack = false);
    void releaseEngine();
    void cancelPlayback();
    // Gate held: the recording's part of the tap path.
    void clearRecordingPath(bool keepHeldBack);
    // Makes the engine, installs the tap and starts the capture.
    std::optional<audio::Error> startCapture();
    audio::TapBlock makeTapBlock();
    audio::FailureBlock makeFailureBlock();

    // Standby: the capture runs between recordings and holds its newest
    // input for the next one.
    void standby(double seconds);
    std::optional<audio::Error> holdInput(double seconds);
    void endStandby();
    // Standby whose capture died ends at the next command.
    void endStandbyIfLost();
    bool standbyRunning() const;
    std::optional<audio::Error> startFromStandby(double sampleRate, int64_t channels,
                                                 std::optional<double> preRollMs);
    // Notes where in the held input the line that just arrived falls.
    void noteLineArrival();
    // Gate held: hands the newest held input to the recording; the frames
    // that came before the start line arrived.
    uint32_t takePreRoll(double preRollMs);

    // Tap conversion and the PCM16 writer. process() runs with the gate's
    // mutex held. writePcm16 is false when the write failed or was cancelled
    // by the teardown.
    void process(const std::shared_ptr<audio::PcmBuffer>& buffer, const audio::AudioTime& when);
    void holdFrames(audio::PcmBuffer& buffer, const audio::AudioTime& when);
    void convertAndWrite(const std::shared_ptr<audio::PcmBuffer>& buffer);
    void drainConverter();
    bool writePcm16(const audio::PcmBuffer& buffer);

    // Fixture playback.
    std::optional<audio::Error> startFixture(const std::string& path, double sampleRate, int64_t channels,
                                             bool askedForPreRoll);
    void playFixture(audio::AudioFile& file, const std::string& fixtureName, PlaybackControl& control);

    void send(const Event& event);

    audio::AudioPlatform& platform_;
    const Descriptors fds_;

    // Command-loop thread only.
    std::unique_ptr<audio::Engine> engine_;
    std::optional<audio::Format> captureFormat_;  // the running engine's input format
    double currentSampleRate_ = 16000.0;
    int64_t currentChannels_ = 1;
    std::shared_ptr<PlaybackControl> playback_;
    bool liveRecording_ = false;           // the recording uses engine_
    std::optional<double> standbySeconds_;  // standby is on
    // Where the last line came in the held input: the frames held by then,
    // and the frame the capture clock says was being captured.
    int64_t framesAtLineArrival_ = 0;
    std::optional<int64_t> lineFrame_;

    // Read by the tap block, guarded by the gate's mutex.
    std::shared_ptr<TapGate> gate_;
    std::shared_ptr<audio::Converter> converter_;
    std::optional<audio::Format> outputFormat_;
    std::optional<FrameRing> ring_;                   // during standby
    std::shared_ptr<audio::PcmBuffer> pendingPreRoll_;  // converted before the next buffer
    int64_t pendingSkip_ = 0;  // frames of the next buffers that came before the pre-roll's start

    // Written by the tap block under the gate, and read as each line
    // arrives, which must never wait for the gate: a tap block may be
    // stuck writing to a host that stopped reading.
    std::mutex heldMutex_;
    int64_t framesHeld_ = 0;     // every frame the ring has taken
    CaptureClock captureClock_;  // dates them
    // Set by the failure block, cleared when a capture starts.
    std::atomic<bool> captureLost_{false};

    // Read by the playback task.
    std::atomic<bool> isRecording_{false};

    // Raised by the teardown before it waits for a writer, so that a host
    // that stopped reading descriptor 3 cannot hold "stop" up.
    WriteCancel pcmCancel_;

    std::mutex sendMutex_;  // keeps each event line whole

    // Last, so that it is the first to go: it joins the playback thread.
    SerialWorker fixtureWorker_;
};

}  // namespace recorder
