#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "linux/soxr_converter.h"
#include "signal_checks.h"

namespace {

using audio::CommonFormat;
using audio::Format;
using audio::InputStatus;
using audio::OutputStatus;
using audio::PcmBuffer;

Format floatFormat(double rate, uint32_t channels)
{
    return Format{CommonFormat::Float32, rate, channels, false};
}

// Hands its buffer over once, then answers "no data now", as the recorder's
// input block does; counts how it is used.
struct OnceInput {
    std::shared_ptr<PcmBuffer> buffer;
    int calls = 0;
    int handed = 0;

    audio::InputBlock block()
    {
        return [this](uint32_t, InputStatus& status) -> std::shared_ptr<PcmBuffer> {
            ++calls;
            if (!buffer) {
                status = InputStatus::NoDataNow;
                return nullptr;
            }
            status = InputStatus::HaveData;
            ++handed;
            return std::exchange(buffer, nullptr);
        };
    }
};

// The recorder's output capacity for one input buffer.
uint32_t capacityFor(uint32_t frames, double fromRate, double toRate)
{
    return static_cast<uint32_t>(std::ceil(frames * (toRate / fromRate))) + 256;
}

void append(std::vector<float>& into, const PcmBuffer& buffer, uint32_t channel)
{
    const float* samples = buffer.floatChannelData()[channel];
    into.insert(into.end(), samples, samples + buffer.frameLength());
}

// Converts `input` in chunks of `chunk` frames the way the tap path does and
// returns channel 0 of everything that came out.
std::vector<float> convertInChunks(audio::Converter& converter, const std::vector<float>& input, size_t chunk,
                                   const Format& from, const Format& to, double* worstHeldMs = nullptr)
{
    std::vector<float> out;
    for (size_t offset = 0; offset < input.size(); offset += chunk) {
        const size_t frames = std::min(chunk, input.size() - offset);
        std::vector<float> piece(input.begin() + static_cast<std::ptrdiff_t>(offset),
                                 input.begin() + static_cast<std::ptrdiff_t>(offset + frames));
        OnceInput source{signalchecks::bufferOf(piece, from.sampleRate, std::vector<float>(from.channelCount, 1.0f))};
        auto output = PcmBuffer::make(to, capacityFor(static_cast<uint32_t>(frames), from.sampleRate, to.sampleRate));
        std::optional<audio::Error> error;
        const OutputStatus status = converter.convert(*output, error, source.block());
        EXPECT_EQ(status, OutputStatus::InputRanDry);
        EXPECT_FALSE(error.has_value());
        EXPECT_EQ(source.handed, 1);
        append(out, *output, 0);
        if (worstHeldMs) {
            const double inMs = static_cast<double>(offset + frames) * 1000.0 / from.sampleRate;
            const double outMs = static_cast<double>(out.size()) * 1000.0 / to.sampleRate;
            *worstHeldMs = std::max(*worstHeldMs, inMs - outMs);
        }
    }
    return out;
}

TEST(SoxrConverter, RefusesFormatsItCannotHandle)
{
    const Format good = floatFormat(48000, 1);
    struct Case {
        const char* name;
        Format from;
        Format to;
    };
    const Case cases[] = {
        {"int16 input", Format{CommonFormat::Int16, 48000, 1, false}, good},
        {"float64 output", good, Format{CommonFormat::Float64, 16000, 1, false}},
        {"other input", Format{CommonFormat::Other, 48000, 1, false}, good},
        {"zero rate", floatFormat(0, 1), good},
        {"negative rate", good, floatFormat(-16000, 1)},
        {"nan rate", floatFormat(std::nan(""), 1), good},
        {"infinite rate", good, floatFormat(INFINITY, 1)},
        {"no input channels", floatFormat(48000, 0), good},
        {"no output channels", good, floatFormat(16000, 0)},
        {"interleaved", Format{CommonFormat::Float32, 48000, 2, true}, good},
        {"decimation beyond 2^32", good, floatFormat(1e-5, 1)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linuxaudio::makeSoxrConverter(c.from, c.to), nullptr) << c.name;
    }
    EXPECT_NE(linuxaudio::makeSoxrConverter(good, floatFormat(16000, 1)), nullptr);
}

TEST(SoxrConverter, KeepsAToneAndItsLengthAcrossBuffers)
{
    const Format from = floatFormat(48000, 1);
    const Format to = floatFormat(16000, 1);
    auto converter = linuxaudio::makeSoxrConverter(from, to);
    ASSERT_NE(converter, nullptr);
    const auto input = signalchecks::sine(440, 48000, 48000);
    const auto out = convertInChunks(*converter, input, 1024, from, to);

    // One second in, one second out less what the resampler still holds.
    EXPECT_LE(out.size(), 16000u);
    EXPECT_GE(out.size(), 16000u - 240u);
    EXPECT_NEAR(signalchecks::estimatedFrequency(out, 16000), 440.0, 5.0);
    const std::vector<float> settled(out.begin() + 1600, out.end());
    const float peak = *std::max_element(settled.begin(), settled.end());
    EXPECT_NEAR(peak, 0.5f, 0.03f);
}

TEST(SoxrConverter, HoldsBackAtMostFifteenMilliseconds)
{
    struct Case {
        double from;
        double to;
        size_t chunk;
    };
    const Case cases[] = {{48000, 16000, 960}, {48000, 16000, 1024}, {48000, 16000, 480},
                          {44100, 16000, 1024}, {96000, 16000, 1920}, {16000, 16000, 320}};
    for (const auto& c : cases) {
        const Format from = floatFormat(c.from, 1);
        const Format to = floatFormat(c.to, 1);
        auto converter = linuxaudio::makeSoxrConverter(from, to);
        ASSERT_NE(converter, nullptr);
        const auto input = signalchecks::sine(300, c.from, static_cast<size_t>(c.from));
        double worstHeldMs = 0.0;
        convertInChunks(*converter, input, c.chunk, from, to, &worstHeldMs);
        EXPECT_LE(worstHeldMs, 15.0) << c.from << " -> " << c.to << " in chunks of " << c.chunk;
    }
}

// Hands out nothing more: the end of a recording.
audio::InputBlock endOfInput()
{
    return [](uint32_t, InputStatus& status) -> std::shared_ptr<PcmBuffer> {
        status = InputStatus::EndOfStream;
        return nullptr;
    };
}

// A tone stopped mid-stream, drained as the recorder drains it at the end,
// comes out as long as what went in, to within a sample per rate.
TEST(SoxrConverter, DrainedAtTheEndTheInputAccountsForEverySample)
{
    const struct {
        double from;
        double to;
        size_t frames;
    } cases[] = {{48000, 16000, 30000}, {44100, 16000, 22050 + 517}, {48000, 8000, 7001}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        const Format from = floatFormat(c.from, 1);
        const Format to = floatFormat(c.to, 1);
        auto converter = linuxaudio::makeSoxrConverter(from, to);
        ASSERT_NE(converter, nullptr);
        auto out = convertInChunks(*converter, signalchecks::sine(440, c.from, c.frames), 1024, from, to);
        auto rest = PcmBuffer::make(to, 4096);
        std::optional<audio::Error> error;
        EXPECT_EQ(converter->convert(*rest, error, endOfInput()), OutputStatus::EndOfStream);
        EXPECT_FALSE(error.has_value());
        append(out, *rest, 0);
        EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(c.frames) * c.to / c.from, 1.0);
    }
}

// Speech's fricatives reach past 7 kHz; a 16 kHz recording keeps them.
TEST(SoxrConverter, KeepsTheLevelOfTonesUpTo7kHzAt16kHz)
{
    const Format from = floatFormat(48000, 1);
    const Format to = floatFormat(16000, 1);
    for (const double frequency : {1000.0, 6000.0, 7000.0, 7200.0}) {
        SCOPED_TRACE(frequency);
        auto converter = linuxaudio::makeSoxrConverter(from, to);
        const auto input = signalchecks::sine(frequency, 48000, 48000);
        const auto out = convertInChunks(*converter, input, 1024, from, to);
        ASSERT_GT(out.size(), 12000u);
        const double gainDb = 20.0 * std::log10(signalchecks::rms(out, 4000, 12000) / signalchecks::rms(input, 12000, 36000));
        EXPECT_NEAR(gainDb, 0.0, 0.5);
    }
}

TEST(SoxrConverter, OutputTooSmallLosesNothing)
{
    const Format from = floatFormat(48000, 1);
    const Format to = floatFormat(16000, 1);
    const auto input = signalchecks::sine(440, 48000, 4800);

    auto reference = linuxaudio::makeSoxrConverter(from, to);
    const auto expected = convertInChunks(*reference, input, input.size(), from, to);

    auto converter = linuxaudio::makeSoxrConverter(from, to);
    OnceInput source{signalchecks::bufferOf(input, 48000, {1.0f})};
    auto small = PcmBuffer::make(to, 100);
    std::vector<float> got;
    std::optional<audio::Error> error;
    ASSERT_EQ(converter->convert(*small, error, source.block()), OutputStatus::HaveData);
    EXPECT_EQ(small->frameLength(), 100u);
    append(got, *small, 0);
    for (int call = 0; call < 100; ++call) {
        const OutputStatus status = converter->convert(*small, error, source.block());
        append(got, *small, 0);
        if (status == OutputStatus::InputRanDry) {
            break;
        }
        ASSERT_EQ(status, OutputStatus::HaveData);
    }
    EXPECT_FALSE(error.has_value());
    EXPECT_EQ(source.handed, 1);
    EXPECT_EQ(got, expected);
}

TEST(SoxrConverter, MapsChannelsByIndexWithoutDownmix)
{
    struct Case {
        double fromRate;
        uint32_t inChannels;
        uint32_t outChannels;
    };
    const Case cases[] = {{48000, 2, 1}, {48000, 2, 3}, {48000, 1, 2}, {16000, 2, 2}, {16000, 3, 1}};
    const std::vector<float> levels = {0.5f, -0.25f, 0.125f};
    for (const auto& c : cases) {
        const Format from = floatFormat(c.fromRate, c.inChannels);
        const Format to = floatFormat(16000, c.outChannels);
        auto converter = linuxaudio::makeSoxrConverter(from, to);
        ASSERT_NE(converter, nullptr);
        const std::vector<float> ones(static_cast<size_t>(c.fromRate / 10), 1.0f);
        OnceInput source{signalchecks::bufferOf(ones, c.fromRate,
                                                std::vector<float>(levels.begin(), levels.begin() + c.inChannels))};
        auto output = PcmBuffer::make(to, 2000);
        std::optional<audio::Error> error;
        converter->convert(*output, error, source.block());
        ASSERT_GT(output->frameLength(), 1000u);
        const uint32_t last = output->frameLength() - 1;
        for (uint32_t ch = 0; ch < c.outChannels; ++ch) {
            const float* samples = output->floatChannelData()[ch];
            const float expected = ch < c.inChannels ? levels[ch] : 0.0f;
            EXPECT_NEAR(samples[last], expected, 1e-3) << c.inChannels << "->" << c.outChannels << " ch " << ch;
            if (ch >= c.inChannels) {
                EXPECT_TRUE(std::all_of(samples, samples + output->frameLength(), [](float s) { return s == 0.0f; }));
            }
        }
    }
}

TEST(SoxrConverter, ReportsBuffersOfTheWrongShapeAsErrors)
{
    const Format from = floatFormat(48000, 2);
    const Format to = floatFormat(16000, 1);
    auto converter = linuxaudio::makeSoxrConverter(from, to);
    std::optional<audio::Error> error;

    OnceInput mono{signalchecks::bufferOf(std::vector<float>(480, 0.1f), 48000, {1.0f})};
    auto output = PcmBuffer::make(to, 400);
    EXPECT_EQ(converter->convert(*output, error, mono.block()), OutputStatus::Error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());

    error.reset();
    OnceInput stereo{signalchecks::bufferOf(std::vector<float>(480, 0.1f), 48000, {1.0f, 1.0f})};
    auto wrongOutput = PcmBuffer::make(floatFormat(16000, 2), 400);
    EXPECT_EQ(converter->convert(*wrongOutput, error, stereo.block()), OutputStatus::Error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());
    EXPECT_EQ(stereo.calls, 0);
}

TEST(SoxrConverter, ReturnsWhenTheInputOnlyHasEmptyBuffers)
{
    const Format from = floatFormat(48000, 1);
    const Format to = floatFormat(16000, 1);
    auto converter = linuxaudio::makeSoxrConverter(from, to);
    int calls = 0;
    const audio::InputBlock endlessEmpty = [&](uint32_t, InputStatus& status) {
        ++calls;
        status = InputStatus::HaveData;
        return PcmBuffer::make(from, 16);
    };
    auto output = PcmBuffer::make(to, 64);
    std::optional<audio::Error> error;
    EXPECT_EQ(converter->convert(*output, error, endlessEmpty), OutputStatus::InputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);
    EXPECT_EQ(calls, 1);
}

TEST(SoxrConverter, EndOfStreamFlushesTheRest)
{
    const Format from = floatFormat(48000, 1);
    const Format to = floatFormat(16000, 1);
    auto converter = linuxaudio::makeSoxrConverter(from, to);
    auto buffer = signalchecks::bufferOf(signalchecks::sine(440, 48000, 4800), 48000, {1.0f});
    bool handed = false;
    const audio::InputBlock input = [&](uint32_t, InputStatus& status) -> std::shared_ptr<PcmBuffer> {
        if (handed) {
            status = InputStatus::EndOfStream;
            return nullptr;
        }
        handed = true;
        status = InputStatus::HaveData;
        return buffer;
    };
    auto output = PcmBuffer::make(to, 4000);
    std::optional<audio::Error> error;
    EXPECT_EQ(converter->convert(*output, error, input), OutputStatus::EndOfStream);
    EXPECT_FALSE(error.has_value());
    EXPECT_NEAR(static_cast<double>(output->frameLength()), 1600.0, 2.0);
}

}  // namespace
