#include <gtest/gtest.h>

#include <cmath>

#include "linux/linux_platform.h"

namespace {

using audio::CommonFormat;

TEST(LinuxPlatform, MakesOnlyFormatsThatMakeSense)
{
    auto platform = makeLinuxAudioPlatform();
    struct Case {
        CommonFormat common;
        double rate;
        uint32_t channels;
        bool made;
    };
    const Case cases[] = {
        {CommonFormat::Float32, 16000, 1, true},  {CommonFormat::Float32, 44100.5, 2, true},
        {CommonFormat::Int16, 16000, 1, true},    {CommonFormat::Float32, 8000, 64, true},
        {CommonFormat::Float32, 0, 1, false},     {CommonFormat::Float32, -16000, 1, false},
        {CommonFormat::Float32, std::nan(""), 1, false}, {CommonFormat::Float32, INFINITY, 1, false},
        {CommonFormat::Float32, 1, 1, true},      {CommonFormat::Float32, 768000, 1, true},
        {CommonFormat::Float32, 0.5, 1, false},   {CommonFormat::Float32, 1e-10, 1, false},
        {CommonFormat::Float32, 768001, 1, false}, {CommonFormat::Float32, 1e9, 1, false},
        {CommonFormat::Float32, 16000, 0, false}, {CommonFormat::Float32, 16000, 65, false},
        {CommonFormat::Float32, 16000, 4294967295u, false}, {CommonFormat::Float64, 16000, 1, false},
        {CommonFormat::Other, 16000, 1, false},
    };
    for (const auto& c : cases) {
        const auto format = platform->makeFormat(c.common, c.rate, c.channels, false);
        EXPECT_EQ(format.has_value(), c.made) << c.rate << " Hz, " << c.channels << " channels";
        if (format) {
            EXPECT_EQ(format->commonFormat, c.common);
            EXPECT_EQ(format->sampleRate, c.rate);
            EXPECT_EQ(format->channelCount, c.channels);
            EXPECT_FALSE(format->interleaved);
        }
    }
}

TEST(LinuxPlatform, ConvertsFromCaptureToRecordingFormat)
{
    auto platform = makeLinuxAudioPlatform();
    const auto from = platform->makeFormat(CommonFormat::Float32, 48000, 2, false);
    const auto to = platform->makeFormat(CommonFormat::Float32, 16000, 1, false);
    ASSERT_TRUE(from && to);
    EXPECT_NE(platform->makeConverter(*from, *to), nullptr);
    const auto int16 = platform->makeFormat(CommonFormat::Int16, 16000, 1, false);
    ASSERT_TRUE(int16);
    EXPECT_EQ(platform->makeConverter(*from, *int16), nullptr);
}

}  // namespace
