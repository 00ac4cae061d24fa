#include "sine_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

constexpr uint32_t kRate = 48000;
constexpr double kFrequency = 440.0;
constexpr size_t kChunkFrames = 480;
// Written ahead of what is heard.
constexpr uint32_t kBufferedMs = 400;

}  // namespace

struct SinePlayer::State {
    pa_simple* stream = nullptr;
    std::atomic<bool> stopping{false};
    std::thread thread;

    ~State()
    {
        stopping = true;
        if (thread.joinable()) {
            thread.join();
        }
        if (stream) {
            pa_simple_free(stream);
        }
    }

    void play()
    {
        std::vector<float> chunk(kChunkFrames);
        uint64_t frame = 0;
        const double step = 2.0 * std::numbers::pi * kFrequency / kRate;
        while (!stopping) {
            for (float& sample : chunk) {
                sample = static_cast<float>(0.5 * std::sin(step * static_cast<double>(frame++ % kRate)));
            }
            int code = 0;
            if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(float), &code) != 0) {
                return;
            }
        }
    }
};

std::optional<SinePlayer> SinePlayer::start(const std::string& server, const std::string& sink, std::string* error)
{
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 1};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(kRate * sizeof(float) * kBufferedMs / 1000);
    // Heard from the first chunk on, not once the whole buffer is full.
    attributes.prebuf = static_cast<uint32_t>(kChunkFrames * sizeof(float));
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(-1);
    int code = 0;
    pa_simple* stream = pa_simple_new(server.c_str(), "tests", PA_STREAM_PLAYBACK, sink.c_str(), "sine", &spec,
                                      nullptr, &attributes, &code);
    if (!stream) {
        if (error) {
            *error = std::string("cannot play into ") + sink + ": " + pa_strerror(code);
        }
        return std::nullopt;
    }
    auto state = std::make_unique<State>();
    state->stream = stream;
    state->thread = std::thread([raw = state.get()] { raw->play(); });
    return SinePlayer(std::move(state));
}

SinePlayer::SinePlayer(std::unique_ptr<State> state) : state_(std::move(state)) {}
SinePlayer::SinePlayer(SinePlayer&&) noexcept = default;
SinePlayer& SinePlayer::operator=(SinePlayer&&) noexcept = default;
SinePlayer::~SinePlayer() = default;

}  // namespace testsupport
