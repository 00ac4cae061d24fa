// The audio model the recorder is written against: formats, PCM buffers, a
// pull-style converter, a capture engine with an input tap, and audio files.
// Each platform (the real one, the simulated one for tests) implements the
// abstract classes here; the recorder's logic sees nothing else.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace audio {

// Sample types, numbered as the host platform numbers them.
enum class CommonFormat : uint32_t {
    Other = 0,
    Float32 = 1,
    Float64 = 2,
    Int16 = 3,
    Int32 = 4,
};

struct Format {
    CommonFormat commonFormat = CommonFormat::Float32;
    double sampleRate = 0.0;
    uint32_t channelCount = 0;
    bool interleaved = false;

    bool operator==(const Format&) const = default;
};

// A failure reported by the platform or by the recorder itself. Only the
// description ever reaches the host.
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string description;
};

// A block of audio in one format. Samples are stored as 32-bit floats or
// 16-bit integers; non-interleaved formats keep one array per channel, an
// interleaved format keeps a single array of frames.
class PcmBuffer {
public:
    // Null when the format has no storage of ours (Other, Float64, Int32),
    // has no channels, or the capacity cannot be allocated.
    static std::shared_ptr<PcmBuffer> make(const Format& format, uint32_t frameCapacity);

    const Format& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(uint32_t frames);

    // One pointer per channel (one pointer in all for an interleaved
    // format), or null unless the format is Float32.
    float* const* floatChannelData();
    const float* const* floatChannelData() const;
    // The same for Int16 formats.
    int16_t* const* int16ChannelData();

    // Arrays the pointers above refer to; the stride between channels of a
    // non-interleaved buffer is the frame capacity.
    uint32_t bufferCount() const
    {
        return static_cast<uint32_t>(channelPointers_.empty() ? int16Pointers_.size() : channelPointers_.size());
    }

    struct Key {
        explicit Key() = default;
    };
    // Use make(); public only so that make() can use make_shared.
    PcmBuffer(Key, const Format& format, uint32_t frameCapacity);

private:

    Format format_;
    uint32_t frameCapacity_ = 0;
    uint32_t frameLength_ = 0;
    std::vector<float> floatStorage_;
    std::vector<int16_t> int16Storage_;
    std::vector<float*> channelPointers_;
    std::vector<int16_t*> int16Pointers_;
};

// What the converter's input block answers.
enum class InputStatus : int {
    HaveData = 0,
    NoDataNow = 1,
    EndOfStream = 2,
};

// What one conversion call reports.
enum class OutputStatus : int {
    HaveData = 0,
    InputRanDry = 1,
    EndOfStream = 2,
    Error = 3,
};

// Called by the converter, as often as it needs, with the number of packets
// it would like; returns a buffer (status HaveData) or null (NoDataNow,
// EndOfStream).
using InputBlock = std::function<std::shared_ptr<PcmBuffer>(uint32_t packetCount, InputStatus& status)>;

class Converter {
public:
    virtual ~Converter() = default;
    // Fills `output` (setting its frame length) from input pulled through
    // `input`. Keeps its own state (filter history, unconsumed input)
    // between calls until the input block reports end of stream. May set
    // `error`, whatever the status.
    virtual OutputStatus convert(PcmBuffer& output, std::optional<Error>& error, const InputBlock& input) = 0;
};

// How long `frames` frames at `sampleRate` last, in nanoseconds.
inline uint64_t framesToNanoseconds(uint64_t frames, double sampleRate)
{
    return static_cast<uint64_t>(static_cast<double>(frames) * 1e9 / sampleRate);
}

struct AudioTime {
    int64_t sampleTime = 0;
    // When the buffer's first frame was captured, in nanoseconds of the
    // platform's hostTimeNow() clock; 0 when the platform cannot tell.
    uint64_t hostTime = 0;
};

// Runs on the engine's capture thread, once per captured buffer.
using TapBlock = std::function<void(const std::shared_ptr<PcmBuffer>& buffer, const AudioTime& when)>;

class InputNode {
public:
    virtual ~InputNode() = default;
    // The default input device's format as the engine delivers it.
    virtual Format inputFormat(uint32_t bus) = 0;
    virtual void installTap(uint32_t bus, uint32_t bufferSize, const Format& format, TapBlock block) = 0;
    // Removes the tap if one is installed. Once this returns, the tap block
    // is not called again.
    virtual void removeTap(uint32_t bus) = 0;
};

// Called on the engine's own thread when capture of a running engine ends
// without stop(): the stream failed or the audio server went away.
using FailureBlock = std::function<void(const Error& error)>;

// Capture from the default input device.
class Engine {
public:
    virtual ~Engine() = default;
    virtual InputNode& inputNode() = 0;
    virtual void prepare() = 0;
    // Null on success.
    virtual std::optional<Error> start() = 0;
    // Called at most once per start(); once stop() returns, not again.
    virtual void setFailureBlock(FailureBlock block) = 0;
    virtual void stop() = 0;
    virtual void reset() = 0;
    virtual bool isRunning() const = 0;
};

// An audio file open for reading.
class AudioFile {
public:
    virtual ~AudioFile() = default;
    // The format reads deliver: Float32, non-interleaved, at the file's own
    // rate and channel count.
    virtual Format processingFormat() const = 0;
    virtual int64_t length() const = 0;
    virtual int64_t framePosition() const = 0;
    // Reads up to `frames` frames at the read position into `buffer`,
    // advancing the position and setting the buffer's frame length. False
    // with `error` filled in on failure.
    virtual bool read(PcmBuffer& buffer, uint32_t frames, Error& error) = 0;
};

// The formats every platform that stands on real audio accepts, so that a
// request means the same everywhere: Float32 or Int16, 1 Hz to 768 kHz, 1 to
// 64 channels. Nothing for anything else.
std::optional<Format> boundedFormat(CommonFormat common, double sampleRate, uint32_t channels, bool interleaved);

// The factory a platform provides.
class AudioPlatform {
public:
    virtual ~AudioPlatform() = default;
    virtual std::unique_ptr<Engine> makeEngine() = 0;
    // Nothing when the values make no format this platform can use.
    virtual std::optional<Format> makeFormat(CommonFormat common, double sampleRate, uint32_t channels,
                                             bool interleaved) = 0;
    // Null when this platform cannot convert between the two formats.
    virtual std::shared_ptr<Converter> makeConverter(const Format& from, const Format& to) = 0;
    // Null with `error` filled in when the file cannot be opened.
    virtual std::unique_ptr<AudioFile> openFile(const std::string& path, Error& error) = 0;
    virtual std::shared_ptr<PcmBuffer> makeBuffer(const Format& format, uint32_t frameCapacity)
    {
        return PcmBuffer::make(format, frameCapacity);
    }
    // Now, on the clock of AudioTime::hostTime; 0 when there is none.
    virtual uint64_t hostTimeNow() { return 0; }
};

}  // namespace audio
