// The WAV writer: the header carries the real sizes once the file is
// finished, whatever byte counts the samples arrived in.
#include "ptt_host/wav_writer.h"
#include "wav_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <numeric>

namespace {

using ptthost::WavWriter;

class WavWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "wav-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    hosttest::WavFile readBack(const std::string& path)
    {
        std::string error;
        auto wav = hosttest::readWavFile(path, &error);
        EXPECT_TRUE(wav) << error;
        return wav.value_or(hosttest::WavFile{});
    }

    std::filesystem::path dir_;
};

TEST_F(WavWriterTest, HeaderCarriesTheSizesOfWholeSamplesHoweverTheBytesWereSplit)
{
    struct Case {
        const char* what;
        std::vector<size_t> reads;  // sizes of consecutive appends
        size_t kept;                // bytes of whole samples in the file
    };
    const Case cases[] = {
        {"nothing at all", {}, 0},
        {"whole samples", {4, 6}, 10},
        {"a sample split across two reads", {3, 5}, 8},
        {"odd reads throughout", {1, 1, 1, 3, 5, 1}, 12},
        {"a half sample at the end is dropped", {4, 3}, 6},
        {"a single byte", {1}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t total = std::accumulate(c.reads.begin(), c.reads.end(), size_t{0});
        std::vector<uint8_t> bytes(total);
        std::iota(bytes.begin(), bytes.end(), uint8_t{1});
        const std::string path = file(std::string(c.what) + ".wav");
        std::string error;
        auto writer = WavWriter::create(path, 16000, error);
        ASSERT_TRUE(writer) << error;
        size_t at = 0;
        for (size_t size : c.reads) {
            EXPECT_TRUE(writer->append(std::span<const uint8_t>(bytes).subspan(at, size)));
            at += size;
        }
        EXPECT_TRUE(writer->finish());
        EXPECT_EQ(writer->sampleCount(), c.kept / 2);

        const auto wav = readBack(path);
        EXPECT_EQ(wav.fileSize, 44 + c.kept);
        EXPECT_EQ(wav.riffSize, 36 + c.kept);
        EXPECT_EQ(wav.dataSize, c.kept);
        EXPECT_EQ(wav.format, 1);
        EXPECT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.sampleRate, 16000u);
        EXPECT_EQ(wav.byteRate, 32000u);
        EXPECT_EQ(wav.blockAlign, 2);
        EXPECT_EQ(wav.bitsPerSample, 16);
        EXPECT_EQ(wav.data, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(c.kept)));
    }
}

TEST_F(WavWriterTest, LengthInSecondsFollowsTheSampleRate)
{
    std::string error;
    auto writer = WavWriter::create(file("second.wav"), 8000, error);
    ASSERT_TRUE(writer) << error;
    const std::vector<uint8_t> quarterSecond(4000, 0);
    ASSERT_TRUE(writer->append(quarterSecond));
    EXPECT_DOUBLE_EQ(writer->seconds(), 0.25);
    EXPECT_EQ(readBack(file("second.wav")).dataSize, 0u) << "sizes are patched in only at the end";
    ASSERT_TRUE(writer->finish());
    EXPECT_EQ(readBack(file("second.wav")).byteRate, 16000u);
}

TEST_F(WavWriterTest, AWriterThatGoesAwayFinishesItsFile)
{
    std::string error;
    {
        auto writer = WavWriter::create(file("dropped.wav"), 16000, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->append(std::vector<uint8_t>{1, 2, 3, 4, 5}));
        // Assigning another file over it finishes it as well.
        auto next = WavWriter::create(file("next.wav"), 16000, error);
        ASSERT_TRUE(next) << error;
        ASSERT_TRUE(next->append(std::vector<uint8_t>{9, 9}));
        *writer = std::move(*next);
    }
    EXPECT_EQ(readBack(file("dropped.wav")).dataSize, 4u);
    EXPECT_EQ(readBack(file("next.wav")).dataSize, 2u);
}

TEST_F(WavWriterTest, AFileThatCannotBeMadeIsAnErrorNamingIt)
{
    std::string error;
    const std::string path = file("no-such-dir/utt.wav");
    EXPECT_FALSE(WavWriter::create(path, 16000, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

}  // namespace
