// The utterance logic against a scripted recorder: the commands it sends
// and the files it leaves.
#include "ptt_host/utterances.h"
#include "wav_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

namespace {

using nlohmann::json;

class UtterancesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "utterances-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        utterances_.emplace(dir_, "", [this](const std::string& line) {
            sent_.push_back(line);
            return recorderTakes_;
        });
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string command(size_t index) const
    {
        return index < sent_.size() ? json::parse(sent_[index]).value("command", "") : "(none)";
    }

    std::filesystem::path dir_;
    std::vector<std::string> sent_;
    bool recorderTakes_ = true;
    std::optional<ptthost::Utterances> utterances_;
};

TEST_F(UtterancesTest, APressWhileTheLastOneStopsStartsTheNextWhenItHasEnded)
{
    utterances_->press();
    // Samples may come before recording_started; they belong to the utterance.
    utterances_->onPcm(std::vector<uint8_t>{1, 0, 2});
    utterances_->onRecorderEvent({{"type", "recording_started"}, {"sampleRate", 16000}, {"channels", 1}});
    utterances_->release();
    utterances_->press();
    utterances_->onPcm(std::vector<uint8_t>{0, 3, 0});
    ASSERT_EQ(sent_.size(), 2u) << "the next start waits for the end of this one";
    EXPECT_EQ(command(0), "start");
    EXPECT_EQ(json::parse(sent_[0]).value("sampleRate", 0), 16000);
    EXPECT_EQ(command(1), "stop");

    utterances_->onRecorderEvent({{"type", "recording_stopped"}});
    EXPECT_EQ(utterances_->written(), 1);
    EXPECT_EQ(command(2), "start");
    EXPECT_TRUE(utterances_->open());
    std::string error;
    const auto wav = hosttest::readWavFile((dir_ / "utt-001.wav").string(), &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_EQ(hosttest::samplesOf(wav->data), (std::vector<int16_t>{1, 2, 3}));

    // A recorder that takes no command ends the utterance at once.
    recorderTakes_ = false;
    utterances_->release();
    EXPECT_FALSE(utterances_->open());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "utt-002.wav")) << "nothing was recorded into it";
}

}  // namespace

namespace {

// With a pre-roll every start asks for it; without, the start is as before.
TEST_F(UtterancesTest, APreRollRidesOnEveryStartAndOnlyWhenSet)
{
    utterances_->press();
    utterances_->release();
    utterances_->onRecorderEvent({{"type", "recording_stopped"}});
    utterances_->setPreRoll(300, 1);
    for (int i = 0; i < 2; ++i) {
        utterances_->press();
        utterances_->onRecorderEvent({{"type", "recording_started"}, {"preRollMs", 300}});
        utterances_->release();
        utterances_->onRecorderEvent({{"type", "recording_stopped"}});
    }
    ASSERT_EQ(sent_.size(), 6u);
    EXPECT_FALSE(json::parse(sent_[0]).contains("preRollMs"));
    EXPECT_EQ(json::parse(sent_[2]).value("preRollMs", -1), 300);
    EXPECT_EQ(json::parse(sent_[4]).value("preRollMs", -1), 300);
}

// A lost capture ends standby; it is asked for again once no utterance is
// open, and a refusal is not taken for a refused start.
TEST_F(UtterancesTest, StandbyIsAskedForAgainAfterALostCapture)
{
    const json lost = {{"type", "error"}, {"error", "capture_lost:server went away"}};
    utterances_->setPreRoll(300, 1);
    utterances_->press();
    utterances_->onRecorderEvent({{"type", "recording_started"}, {"preRollMs", 300}});
    utterances_->onRecorderEvent(lost);
    ASSERT_EQ(sent_.size(), 2u) << "no standby while the utterance is open";
    EXPECT_EQ(command(1), "stop");
    utterances_->onRecorderEvent({{"type", "recording_stopped"}});
    EXPECT_EQ(sent_.at(2), R"({"command":"standby","seconds":1})");

    // Refused: the next press starts as usual, and the utterance after it
    // tries standby again.
    utterances_->press();
    utterances_->onRecorderEvent({{"type", "error"}, {"error", "decode_failed:Connection refused"}});
    utterances_->onRecorderEvent({{"type", "recording_started"}, {"preRollMs", 0}});
    EXPECT_TRUE(utterances_->open());
    utterances_->release();
    utterances_->onRecorderEvent({{"type", "recording_stopped"}});
    EXPECT_EQ(utterances_->written(), 0);
    EXPECT_EQ(command(3), "start");
    EXPECT_EQ(command(5), "standby");

    // Lost while no utterance is open: asked for at once.
    utterances_->onRecorderEvent({{"type", "standby_started"}, {"inputSampleRate", 48000}, {"seconds", 1}});
    utterances_->onRecorderEvent(lost);
    EXPECT_EQ(command(6), "standby");
    EXPECT_EQ(sent_.size(), 7u);
}

}  // namespace
