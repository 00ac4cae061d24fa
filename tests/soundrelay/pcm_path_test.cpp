// The float to PCM16 mapping, the output capacity and the input block.
#include "capacity.h"
#include "pcm16.h"
#include "single_buffer_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using recorder::encodePcm16;
using recorder::outputCapacity;
using recorder::pcm16FromFloat;

TEST(Pcm16, MapsFloatsAsTheTableSays)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        int16_t out;
    } cases[] = {
        {1.0f, 32767},     {1.5f, 32767},   {inf, 32767},        {std::nanf(""), 32767}, {0.5f, 16383},
        {1e-5f, 0},        {0.0f, 0},       {-0.0f, 0},          {-1e-5f, -1},           {-0.5f, -16384},
        {-1.0f, -32768},   {-7.0f, -32768}, {-inf, -32768},      {0.999f, 32734},        {-0.25f, -8192},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pcm16FromFloat(c.in), c.out) << "input " << c.in;
    }
}

TEST(Pcm16, EncodesLittleEndianLowByteFirst)
{
    const float samples[] = {1.0f, -1.0f, 0.5f, -0.5f, std::nanf("")};
    const std::string bytes = encodePcm16(samples, 5);
    const std::string expected("\xFF\x7F\x00\x80\xFF\x3F\x00\xC0\xFF\x7F", 10);
    EXPECT_EQ(bytes, expected);
}

TEST(OutputCapacity, TakesTheRatioFirstThenAddsSpare)
{
    const struct {
        uint32_t frames;
        double in;
        double out;
        uint32_t capacity;
    } cases[] = {
        {1024, 48000.0, 16000.0, 598}, {4800, 48000.0, 16000.0, 1856}, {1024, 44100.0, 16000.0, 628},
        {0, 48000.0, 16000.0, 256},    {1024, 16000.0, 16000.0, 1280}, {160, 16000.0, 48000.0, 736},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outputCapacity(c.frames, c.in, c.out), c.capacity) << c.frames << " at " << c.in << " to " << c.out;
    }
}

TEST(OutputCapacity, RefusesWhatIsNotFiniteOrTooLarge)
{
    EXPECT_EQ(outputCapacity(1024, 0.0, 16000.0), std::nullopt);                 // infinite ratio
    EXPECT_EQ(outputCapacity(0, 0.0, 0.0), std::nullopt);                        // 0/0
    EXPECT_EQ(outputCapacity(1024, std::nan(""), 16000.0), std::nullopt);
    EXPECT_EQ(outputCapacity(1024, 1.0, 1e12), std::nullopt);                    // beyond 32 bits
    EXPECT_EQ(outputCapacity(1, 1.0, 4294967039.0), uint32_t{4294967295});       // the largest that fits
    EXPECT_EQ(outputCapacity(1, 1.0, 4294967040.0), std::nullopt);
}

TEST(SingleBufferInput, HandsItsBufferOverExactlyOnceEvenAcrossCopies)
{
    auto buffer = audio::PcmBuffer::make(audio::Format{audio::CommonFormat::Float32, 48000.0, 1, false}, 16);
    const audio::InputBlock block = recorder::singleBufferInput(buffer);
    const audio::InputBlock copy = block;

    audio::InputStatus status = audio::InputStatus::EndOfStream;
    EXPECT_EQ(copy(1024, status), buffer);
    EXPECT_EQ(status, audio::InputStatus::HaveData);
    for (int i = 0; i < 3; ++i) {
        status = audio::InputStatus::HaveData;
        EXPECT_EQ(block(1024, status), nullptr);
        EXPECT_EQ(status, audio::InputStatus::NoDataNow);
    }
}

}  // namespace
