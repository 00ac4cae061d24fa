#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <fstream>

#include "linux/sndfile_reader.h"
#include "signal_checks.h"
#include "sound_fixtures.h"

namespace {

using audio::CommonFormat;
using audio::Format;
using audio::PcmBuffer;

// Stereo frames whose channels can be told apart: left rises, right falls.
std::vector<float> rampFrames(size_t frames)
{
    std::vector<float> interleaved;
    for (size_t i = 0; i < frames; ++i) {
        const float x = static_cast<float>(i) / static_cast<float>(frames);
        interleaved.push_back(x * 0.9f);
        interleaved.push_back(-x * 0.9f);
    }
    return interleaved;
}

TEST(SndFileReader, ReadsEveryFormatDeinterleavedAtItsOwnRate)
{
    struct Case {
        const char* name;
        int format;
        int rate;
        float tolerance;
    };
    const Case cases[] = {
        {"a.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 0.0f},
        {"b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1.0f / 16384},
        {"c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, 1e-5f},
        {"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1.0f / 16384},
    };
    soundfixtures::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const size_t frames = 3000;
    const auto written = rampFrames(frames);
    for (const auto& c : cases) {
        ASSERT_TRUE(soundfixtures::writeSoundFile(dir.file(c.name), c.format, c.rate, 2, written)) << c.name;
        audio::Error error;
        auto file = linuxaudio::openSndFile(dir.file(c.name), error);
        ASSERT_NE(file, nullptr) << c.name << ": " << error.description;
        EXPECT_EQ(file->processingFormat(), (Format{CommonFormat::Float32, double(c.rate), 2, false})) << c.name;
        EXPECT_EQ(file->length(), int64_t(frames)) << c.name;

        auto buffer = PcmBuffer::make(file->processingFormat(), 1024);
        std::vector<float> left;
        std::vector<float> right;
        while (file->framePosition() < file->length()) {
            const int64_t before = file->framePosition();
            ASSERT_TRUE(file->read(*buffer, 1024, error)) << c.name << ": " << error.description;
            ASSERT_GT(buffer->frameLength(), 0u);
            EXPECT_EQ(file->framePosition(), before + buffer->frameLength());
            left.insert(left.end(), buffer->floatChannelData()[0], buffer->floatChannelData()[0] + buffer->frameLength());
            right.insert(right.end(), buffer->floatChannelData()[1], buffer->floatChannelData()[1] + buffer->frameLength());
        }
        ASSERT_EQ(left.size(), frames) << c.name;
        for (size_t i = 0; i < frames; i += 97) {
            EXPECT_NEAR(left[i], written[2 * i], c.tolerance) << c.name << " frame " << i;
            EXPECT_NEAR(right[i], written[2 * i + 1], c.tolerance) << c.name << " frame " << i;
        }
        ASSERT_TRUE(file->read(*buffer, 1024, error));
        EXPECT_EQ(buffer->frameLength(), 0u) << "past the end";
    }
}

TEST(SndFileReader, ReadsOggVorbis)
{
    soundfixtures::TempDir dir;
    const auto tone = signalchecks::sine(440, 16000, 16000);
    ASSERT_TRUE(soundfixtures::writeSoundFile(dir.file("tone.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS, 16000, 1, tone));
    audio::Error error;
    auto file = linuxaudio::openSndFile(dir.file("tone.ogg"), error);
    ASSERT_NE(file, nullptr) << error.description;
    auto buffer = PcmBuffer::make(file->processingFormat(), 16000);
    ASSERT_TRUE(file->read(*buffer, 16000, error));
    std::vector<float> got(buffer->floatChannelData()[0], buffer->floatChannelData()[0] + buffer->frameLength());
    EXPECT_NEAR(signalchecks::estimatedFrequency(got, 16000), 440.0, 5.0);
}

TEST(SndFileReader, ReadsNoMoreThanTheBufferHolds)
{
    soundfixtures::TempDir dir;
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir.file("a.wav"), 16000, 1, std::vector<float>(500, 0.25f)));
    audio::Error error;
    auto file = linuxaudio::openSndFile(dir.file("a.wav"), error);
    ASSERT_NE(file, nullptr);
    auto buffer = PcmBuffer::make(file->processingFormat(), 100);
    ASSERT_TRUE(file->read(*buffer, 400, error));
    EXPECT_EQ(buffer->frameLength(), 100u);
    EXPECT_EQ(file->framePosition(), 100);
}

TEST(SndFileReader, OpenFailuresCarryTheLibrarysDescription)
{
    soundfixtures::TempDir dir;
    {
        std::ofstream text(dir.file("notes.wav"));
        text << "this is not audio\n";
    }
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir.file("a.wav"), 16000, 1, std::vector<float>(200, 0.25f)));
    ASSERT_EQ(::mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {{dir.file("missing.wav"), "No such file or directory"},
                          {dir.file("notes.wav"), ""},
                          {dir.path(), "not a regular file"},
                          {dir.file("pipe.wav"), "not a regular file"},  // would wait for a writer
                          {dir.file("a.wav") + std::string(1, '\0') + "b", "NUL"}};
    for (const auto& c : cases) {
        audio::Error error;
        EXPECT_EQ(linuxaudio::openSndFile(c.path, error), nullptr) << c.path;
        EXPECT_FALSE(error.description.empty()) << c.path;
        EXPECT_NE(error.description.find(c.expected), std::string::npos) << error.description;
    }
}

TEST(SndFileReader, RefusesABufferOfAnotherShape)
{
    soundfixtures::TempDir dir;
    ASSERT_TRUE(soundfixtures::writeFloatWav(dir.file("a.wav"), 16000, 2, std::vector<float>(200, 0.25f)));
    audio::Error error;
    auto file = linuxaudio::openSndFile(dir.file("a.wav"), error);
    ASSERT_NE(file, nullptr);
    auto mono = PcmBuffer::make(Format{CommonFormat::Float32, 16000, 1, false}, 100);
    EXPECT_FALSE(file->read(*mono, 100, error));
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(file->framePosition(), 0);
}

}  // namespace
