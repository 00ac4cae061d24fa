// How fast 48 kHz stereo capture becomes the 16 kHz PCM16 stream, through
// the recorder's own path (capacity, single-buffer input, converter, PCM16),
// how much audio the converter holds back while it streams, and how it
// treats tones: flatness up to 90% of the output's Nyquist frequency and
// rejection of what would fold back from above it.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "capacity.h"
#include "linux/linux_platform.h"
#include "pcm16.h"
#include "single_buffer_input.h"

namespace {

constexpr double kInputRate = 48000.0;
constexpr double kOutputRate = 16000.0;
constexpr uint32_t kBufferFrames = 1024;
constexpr double kSeconds = 600.0;

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One capture buffer of a 440 Hz tone on the left, 660 Hz on the right.
std::shared_ptr<audio::PcmBuffer> captureBuffer(audio::AudioPlatform& platform, const audio::Format& format,
                                                int64_t firstFrame)
{
    auto buffer = platform.makeBuffer(format, kBufferFrames);
    float* const* channels = buffer->floatChannelData();
    for (uint32_t i = 0; i < kBufferFrames; ++i) {
        const double t = static_cast<double>(firstFrame + i) / kInputRate;
        channels[0][i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * t));
        channels[1][i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 660 * t));
    }
    buffer->setFrameLength(kBufferFrames);
    return buffer;
}

// The level in dB of a 48 kHz mono tone at `frequency` after conversion to
// 16 kHz, measured past the filter's settling, relative to the input's.
double toneGainDb(audio::AudioPlatform& platform, double frequency)
{
    const auto input = platform.makeFormat(audio::CommonFormat::Float32, kInputRate, 1, false);
    const auto output = platform.makeFormat(audio::CommonFormat::Float32, kOutputRate, 1, false);
    auto converter = platform.makeConverter(*input, *output);
    constexpr uint32_t kFrames = 96000;
    auto buffer = platform.makeBuffer(*input, kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        const double t = static_cast<double>(i) / kInputRate;
        buffer->floatChannelData()[0][i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * t));
    }
    buffer->setFrameLength(kFrames);
    auto out = platform.makeBuffer(*output, kFrames);
    std::optional<audio::Error> error;
    converter->convert(*out, error, recorder::singleBufferInput(buffer));
    const float* samples = out->floatChannelData()[0];
    // A whole number of seconds' tenths, away from both ends.
    const uint32_t from = 8000;
    const uint32_t to = std::min<uint32_t>(out->frameLength(), 24000);
    double sum = 0.0;
    for (uint32_t i = from; i < to; ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    const double rms = std::sqrt(sum / (to - from));
    return 20.0 * std::log10(std::max(rms, 1e-12) / (0.5 / std::sqrt(2.0)));
}

void printToneResponse(audio::AudioPlatform& platform)
{
    const double nyquist = kOutputRate / 2.0;
    double flatWorst = 0.0;
    for (double f = 100.0; f <= 0.9 * nyquist + 1.0; f += 100.0) {
        flatWorst = std::max(flatWorst, std::fabs(toneGainDb(platform, f)));
    }
    double leakWorst = -400.0;
    for (double f = nyquist + 50.0; f < kInputRate / 2.0; f += 250.0) {
        leakWorst = std::max(leakWorst, toneGainDb(platform, f));
    }
    std::printf("converter passband 48 -> 16 kHz: within %.3f dB up to %.0f Hz; 7 kHz at %.2f dB\n", flatWorst,
                0.9 * nyquist, toneGainDb(platform, 7000.0));
    std::printf("converter stop-band rejection (tones %.0f Hz .. %.0f Hz folding back): %.1f dB\n",
                nyquist + 50.0, kInputRate / 2.0, -leakWorst);
}

}  // namespace

int main()
{
    auto platform = makeLinuxAudioPlatform();
    const auto input = platform->makeFormat(audio::CommonFormat::Float32, kInputRate, 2, false);
    const auto output = platform->makeFormat(audio::CommonFormat::Float32, kOutputRate, 1, false);
    auto converter = platform->makeConverter(*input, *output);
    if (!input || !output || !converter) {
        std::printf("conversion: no converter\n");
        return 1;
    }
    const auto buffers = static_cast<int64_t>(kSeconds * kInputRate / kBufferFrames);
    // Prepared up front so that only the recorder's path is timed.
    std::vector<std::shared_ptr<audio::PcmBuffer>> captured;
    for (int64_t b = 0; b < 64; ++b) {
        captured.push_back(captureBuffer(*platform, *input, b * kBufferFrames));
    }

    size_t bytes = 0;
    uint64_t outputFrames = 0;
    double worstHeldMs = 0.0;
    double heldMsSum = 0.0;
    const double start = cpuSeconds();
    for (int64_t b = 0; b < buffers; ++b) {
        auto buffer = captured[static_cast<size_t>(b) % captured.size()];
        const auto capacity = recorder::outputCapacity(buffer->frameLength(), kInputRate, kOutputRate);
        auto out = platform->makeBuffer(*output, *capacity);
        std::optional<audio::Error> error;
        converter->convert(*out, error, recorder::singleBufferInput(buffer));
        if (error) {
            std::printf("conversion: %s\n", error->description.c_str());
            return 1;
        }
        bytes += recorder::encodePcm16(out->floatChannelData()[0], out->frameLength()).size();
        outputFrames += out->frameLength();
        const double heldMs = static_cast<double>(b + 1) * kBufferFrames * 1000.0 / kInputRate -
                              static_cast<double>(outputFrames) * 1000.0 / kOutputRate;
        worstHeldMs = std::max(worstHeldMs, heldMs);
        heldMsSum += heldMs;
    }
    const double cpu = cpuSeconds() - start;
    std::printf("conversion: %.0f s of 48 kHz stereo -> 16 kHz PCM16 (%zu bytes) in %.3f s of CPU: %.0fx real time\n",
                kSeconds, bytes, cpu, kSeconds / cpu);
    std::printf("converter hold-back (its added delay while streaming) at 48 -> 16 kHz, %u-frame buffers: mean %.2f ms, worst %.2f ms\n", kBufferFrames,
                heldMsSum / static_cast<double>(buffers), worstHeldMs);
    printToneResponse(*platform);
    return 0;
}
