// Drives a RecorderHelper in process over pipes, on the simulated platform.
#pragma once

#include "recorder_helper.h"
#include "sim/sim_platform.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace recordertest {

using std::chrono::milliseconds;
using nlohmann::json;

constexpr milliseconds kWait{5000};

// A pipe whose ends are closed by their owner.
struct Pipe {
    int read = -1;
    int write = -1;
    // With `packets`, a socket pair that keeps each write a record of its own.
    explicit Pipe(bool packets = false);
    ~Pipe();
    void closeRead();
    void closeWrite();
};

struct HarnessOptions {
    bool pcmToStdout = false;  // PCM and events in one pipe, so their order shows
    bool stdinClosed = false;  // the command loop reads a descriptor that is not open
    bool pcmNotOpen = false;   // descriptor 3 was never opened
    bool pcmPackets = false;   // descriptor 3 keeps write boundaries, for readPcmWrite
};

class RecorderHarness {
public:
    explicit RecorderHarness(HarnessOptions options = {});
    // Ends the input and waits for the command loop.
    ~RecorderHarness();

    sim::SimPlatform& platform() { return platform_; }

    void sendLine(const std::string& line);
    void sendBytes(const std::string& bytes);
    void closeInput();
    // Waits (bounded) until the command loop has read all that was sent.
    bool waitInputConsumed(milliseconds timeout = kWait);
    // Waits (bounded) for the command loop to return after end of input.
    bool waitLoopEnded(milliseconds timeout = kWait);

    // The next line on standard output without its LF.
    std::optional<std::string> readLine(milliseconds timeout = kWait);
    // The next line as JSON; a line that does not parse is a test failure.
    std::optional<json> readEvent(milliseconds timeout = kWait);
    // True when nothing arrives on standard output within `quiet`.
    bool noLineWithin(milliseconds quiet);
    // Sends "ping" and reads events up to its "pong": everything the
    // recorder wrote before handling the ping.
    std::vector<json> eventsBeforePong();

    // Reads descriptor 3 until `bytes` more have arrived or the timeout.
    std::vector<uint8_t> readPcm(size_t bytes, milliseconds timeout = kWait);
    // What descriptor 3 holds right now, without waiting.
    std::vector<uint8_t> drainPcm();
    // With pcmPackets: the bytes of the next single write to descriptor 3.
    std::optional<std::vector<uint8_t>> readPcmWrite(milliseconds timeout = kWait);
    void closePcmReader();
    // Sets the capacity of descriptor 3's pipe; the capacity it got, or -1.
    int resizePcmPipe(int bytes);
    // Waits (bounded) until descriptor 3 holds bytes, reading none.
    bool waitPcmPending(milliseconds timeout = kWait);

    // With pcmToStdout: bytes of the combined pipe until `until` is seen in
    // a complete line, or the timeout.
    std::string readCombinedUntil(const std::string& until, milliseconds timeout = kWait);

private:
    bool readInto(int fd, std::string& into, milliseconds timeout);

    sim::SimPlatform platform_;
    Pipe input_;
    Pipe output_;
    Pipe pcm_;  // replaced by a packet pair when asked for
    std::string stdoutBuffer_;
    std::optional<recorder::RecorderHelper> helper_;
    std::thread loop_;
    bool loopEnded_ = false;
    std::mutex loopMutex_;
    std::condition_variable loopCv_;
};

// Two events most tests expect.
inline const json kStopped = {{"type", "recording_stopped"}};
inline json error(const std::string& text)
{
    return {{"type", "error"}, {"error", text}};
}

// A Float32 non-interleaved buffer of `frames` frames, every sample `value`.
std::shared_ptr<audio::PcmBuffer> constantBuffer(double rate, uint32_t channels, uint32_t frames, float value);
// A buffer whose channel 0 holds `samples` (other channels zero).
std::shared_ptr<audio::PcmBuffer> samplesBuffer(double rate, uint32_t channels, const std::vector<float>& samples);

// The little-endian samples of a byte stream.
std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes);

}  // namespace recordertest
