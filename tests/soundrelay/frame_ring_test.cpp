// The ring of held input: newest frames kept, in every sample layout.
#include "frame_ring.h"
#include "sim/sim_platform.h"

#include <gtest/gtest.h>

namespace {

using recorder::FrameRing;

// Sample i of channel c is 100 * c + first + i, in any layout.
std::shared_ptr<audio::PcmBuffer> counting(const audio::Format& format, int first, uint32_t frames)
{
    auto buffer = audio::PcmBuffer::make(format, frames);
    const uint32_t channels = format.channelCount;
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(100 * c + first + static_cast<int>(i));
            const size_t array = format.interleaved ? 0 : c;
            const size_t index = format.interleaved ? size_t{i} * channels + c : i;
            if (format.commonFormat == audio::CommonFormat::Int16) {
                buffer->int16ChannelData()[array][index] = static_cast<int16_t>(value);
            } else {
                buffer->floatChannelData()[array][index] = value;
            }
        }
    }
    buffer->setFrameLength(frames);
    return buffer;
}

std::vector<float> channel(audio::PcmBuffer& buffer, uint32_t c)
{
    std::vector<float> values;
    const auto& format = buffer.format();
    for (uint32_t i = 0; i < buffer.frameLength(); ++i) {
        const size_t array = format.interleaved ? 0 : c;
        const size_t index = format.interleaved ? size_t{i} * format.channelCount + c : i;
        values.push_back(format.commonFormat == audio::CommonFormat::Int16
                             ? buffer.int16ChannelData()[array][index]
                             : buffer.floatChannelData()[array][index]);
    }
    return values;
}

std::vector<float> run(float first, int count)
{
    std::vector<float> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(first + static_cast<float>(i));
    }
    return values;
}

TEST(FrameRing, KeepsTheNewestFramesAcrossTheWrapInEveryLayout)
{
    const audio::Format formats[] = {
        {audio::CommonFormat::Float32, 48000.0, 1, false},
        {audio::CommonFormat::Float32, 48000.0, 2, false},
        {audio::CommonFormat::Float32, 44100.0, 2, true},
        {audio::CommonFormat::Int16, 16000.0, 3, true},
    };
    sim::SimPlatform platform;
    for (const auto& format : formats) {
        SCOPED_TRACE(testing::Message() << format.channelCount << (format.interleaved ? " interleaved" : ""));
        auto ring = FrameRing::make(format, 7);
        ASSERT_TRUE(ring);
        ring->push(*counting(format, 0, 4));
        ring->push(*counting(format, 4, 5));  // wraps
        EXPECT_EQ(ring->size(), 7u);
        auto newest = ring->newest(100, platform);
        ASSERT_TRUE(newest);
        for (uint32_t c = 0; c < format.channelCount; ++c) {
            EXPECT_EQ(channel(*newest, c), run(static_cast<float>(100 * c + 2), 7));
        }
        auto three = ring->newest(3, platform);
        ASSERT_TRUE(three);
        EXPECT_EQ(channel(*three, 0), run(6, 3));
        ring->push(*counting(format, 9, 20));  // longer than the ring
        EXPECT_EQ(channel(*ring->newest(7, platform), 0), run(22, 7));
    }
}

TEST(FrameRing, IsBoundedByWhatOneBufferHolds)
{
    const audio::Format wide{audio::CommonFormat::Float32, 768000.0, 64, false};
    auto ring = FrameRing::make(wide, recorder::framesFor(10.0, wide.sampleRate));
    ASSERT_TRUE(ring);
    EXPECT_EQ(ring->capacity(), (1u << 24) / 64);
    EXPECT_EQ(recorder::framesFor(0.5, 44100.0), 22050u);
    EXPECT_EQ(recorder::framesFor(1e-9, 48000.0), 1u);
    EXPECT_EQ(recorder::framesFor(0.0, 48000.0), 0u);
    EXPECT_FALSE(FrameRing::make(wide, 0));
    EXPECT_FALSE(FrameRing::make(audio::Format{audio::CommonFormat::Float64, 48000.0, 1, false}, 10));
}

TEST(FrameRing, ABufferOfAnotherFormatBreaksTheRun)
{
    const audio::Format mono{audio::CommonFormat::Float32, 48000.0, 1, false};
    sim::SimPlatform platform;
    auto ring = FrameRing::make(mono, 10);
    ring->push(*counting(mono, 0, 6));
    ring->push(*counting(audio::Format{audio::CommonFormat::Float32, 16000.0, 1, false}, 6, 2));
    EXPECT_EQ(ring->size(), 0u);
    EXPECT_FALSE(ring->newest(5, platform));
}

TEST(FrameRing, ANewSizeTakesOverTheNewestFrames)
{
    const audio::Format mono{audio::CommonFormat::Float32, 48000.0, 1, false};
    sim::SimPlatform platform;
    auto large = FrameRing::make(mono, 10);
    large->push(*counting(mono, 0, 8));
    large->push(*counting(mono, 8, 8));
    auto small = FrameRing::make(mono, 4);
    small->takeNewestFrom(*large);
    EXPECT_EQ(channel(*small->newest(4, platform), 0), run(12, 4));
    auto larger = FrameRing::make(mono, 20);
    larger->takeNewestFrom(*large);
    EXPECT_EQ(channel(*larger->newest(20, platform), 0), run(6, 10));
    larger->push(*counting(mono, 16, 3));
    EXPECT_EQ(channel(*larger->newest(20, platform), 0), run(6, 13));
}

}  // namespace
