// The example host against the real keywatch and soundrelay. keywatch
// listens to a private Xvfb typed at through XTEST; soundrelay plays a
// fixture (--fixture) or records a private PulseAudio daemon.
#include "host_run.h"
#include "private_pulse.h"
#include "private_xvfb.h"
#include "ptt_host/wav_writer.h"
#include "wav_file.h"
#include "xtest_keyboard.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

namespace {

using namespace hosttest;
namespace xkey = testsupport::xkey;

constexpr uint32_t kRate = 16000;
const std::string kHelpers = HELPERS_DIR;

class ExampleHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.ok());
        std::string error;
        display_ = testsupport::PrivateXvfb::start(&error);
        ASSERT_TRUE(display_) << error;
        keys_ = testsupport::XtestKeyboard::connect(display_->name());
        ASSERT_TRUE(keys_) << "no XTEST on " << display_->name();
    }

    void launch(const std::vector<std::string>& args, std::vector<std::string> env = {})
    {
        env.push_back(display_->displayEnv());
        std::string error;
        host_ = HostRun::start(HOST_PATH, args, env, &error);
        ASSERT_TRUE(host_) << error;
    }

    // The host with the built helpers, started and ready.
    void startHost(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        args.insert(args.begin(), {"--helpers", kHelpers, "--out", scratch_.file("out")});
        launch(args, std::move(env));
        keywatchPid_ = startedPid(expectLine("keywatch started"));
        recorderPid_ = startedPid(expectLine("soundrelay started"));
        expectLine("ready:");
    }

    std::string expectLine(const std::string& text, milliseconds timeout = 5000ms)
    {
        auto line = host_->waitFor(text, timeout);
        EXPECT_TRUE(line) << "no line with \"" << text << "\"; the host said:\n" << host_->transcript();
        return line.value_or("");
    }

    // One Caps Lock press: push-to-talk down when the lock goes on, up
    // when it goes off.
    void tapCaps() { ASSERT_TRUE(keys_->tap(xkey::kCapsLock) && keys_->sync()); }

    int stopHost()
    {
        host_->child().sendSignal(SIGTERM);
        return host_->child().waitExit(15s).value_or(-1);
    }

    // A 440 Hz tone, written as 16-bit samples.
    std::vector<int16_t> writeFixture(const std::string& name, double seconds, uint32_t rate = kRate)
    {
        std::vector<int16_t> samples(static_cast<size_t>(seconds * rate));
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<int16_t>(std::lround(12000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / rate)));
            bytes.push_back(static_cast<uint8_t>(samples[i]));
            bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8));
        }
        std::string error;
        auto wav = ptthost::WavWriter::create(scratch_.file(name), rate, error);
        EXPECT_TRUE(wav && wav->append(bytes) && wav->finish()) << error;
        return samples;
    }

    // The samples of the file an "utterance N: FILE, S s" line names,
    // after checking that its header was patched to its real length.
    std::vector<int16_t> recorded(const std::string& line)
    {
        std::string error;
        const auto wav = readWavFile(utterancePath(line), &error);
        EXPECT_TRUE(wav) << error;
        if (!wav) {
            return {};
        }
        EXPECT_EQ(wav->dataSize, wav->data.size());
        EXPECT_EQ(wav->riffSize + 8, wav->fileSize);
        EXPECT_EQ(wav->sampleRate, kRate);
        EXPECT_EQ(wav->channels, 1);
        return samplesOf(wav->data);
    }

    static void expectSameSound(const std::vector<int16_t>& got, const std::vector<int16_t>& wanted)
    {
        ASSERT_EQ(got.size(), wanted.size());
        int worst = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            worst = std::max(worst, std::abs(got[i] - wanted[i]));
        }
        EXPECT_LE(worst, 2);
    }

    std::string outFile(int number) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "out/utt-%03d.wav", number);
        return scratch_.file(name);
    }

    ScratchDir scratch_;
    std::optional<testsupport::PrivateXvfb> display_;
    std::optional<testsupport::XtestKeyboard> keys_;
    std::optional<HostRun> host_;
    pid_t keywatchPid_ = -1;
    pid_t recorderPid_ = -1;
};

TEST_F(ExampleHost, EachPushToTalkBecomesOneWavFileAndSigtermEndsTheOpenOne)
{
    const auto tone = writeFixture("tone.wav", 0.5);
    startHost({"--fixture", scratch_.file("tone.wav")});

    tapCaps();
    expectLine("utterance 1: recording from fixture tone.wav");
    expectLine("utterance 1: fixture tone.wav played to its end");
    tapCaps();
    expectSameSound(recorded(expectLine("utterance 1: " + outFile(1) + ", 0.50 s")), tone);

    // The next one is still open when the host is told to stop.
    tapCaps();
    expectLine("utterance 2: recording from fixture");
    expectLine("played to its end");
    host_->child().sendSignal(SIGTERM);
    expectLine("stopping: SIGTERM");
    expectSameSound(recorded(expectLine("utterance 2: " + outFile(2) + ", 0.50 s")), tone);
    expectLine("keywatch stopped (exited with status 0)");
    expectLine("soundrelay stopped (exited with status 0)");
    expectLine("bye: 2 utterance(s) written");
    EXPECT_EQ(host_->child().waitExit(5s), 0);
}

TEST_F(ExampleHost, ARefusedStartIsReportedAndLeavesNoFile)
{
    // soundrelay plays a fixture only at the rate it is asked for.
    writeFixture("8k.wav", 0.3, 8000);
    startHost({"--fixture", scratch_.file("8k.wav")});
    tapCaps();
    expectLine("utterance 1: soundrelay could not start it (fixture_format_mismatch");
    expectLine("utterance 1: nothing recorded");
    EXPECT_FALSE(std::filesystem::exists(outFile(1)));
    EXPECT_EQ(stopHost(), 0);
}

TEST_F(ExampleHost, AHelperThatDiesIsReapedAndRestarted)
{
    const auto tone = writeFixture("tone.wav", 0.3);
    startHost({"--fixture", scratch_.file("tone.wav")});
    struct Case {
        std::string name;
        pid_t pid;
    };
    for (const Case& helper : {Case{"keywatch", keywatchPid_}, Case{"soundrelay", recorderPid_}}) {
        SCOPED_TRACE(helper.name);
        ASSERT_GT(helper.pid, 0);
        ASSERT_EQ(::kill(helper.pid, SIGKILL), 0);
        expectLine(helper.name + " ended (killed by signal 9)");
        EXPECT_TRUE(processGone(helper.pid)) << "the dead " << helper.name << " is still a zombie";
        const pid_t fresh = startedPid(expectLine(helper.name + " started"));
        EXPECT_GT(fresh, 0);
        EXPECT_NE(fresh, helper.pid);
    }
    // Push-to-talk records through the two new helpers.
    tapCaps();
    expectLine("played to its end");
    tapCaps();
    expectSameSound(recorded(expectLine("utterance 1: " + outFile(1))), tone);
    EXPECT_EQ(stopHost(), 0);
}

TEST_F(ExampleHost, AHelperThatKeepsDyingIsGivenUpOn)
{
    const std::string dir = scratch_.file("helpers");
    std::filesystem::create_directory(dir);
    ASSERT_TRUE(writeScript(dir + "/keywatch", R"(echo '{"t":"ok","tap":2,"en":true,"im":0,"remap":-1}')"));
    std::filesystem::create_symlink(kHelpers + "/soundrelay", dir + "/soundrelay");
    launch({"--helpers", dir, "--out", scratch_.file("out")});
    expectLine("stopping: keywatch keeps failing");
    const std::string said = host_->transcript();
    size_t restarts = 0;
    for (size_t at = said.find("restarting keywatch"); at != std::string::npos;
         at = said.find("restarting keywatch", at + 1)) {
        ++restarts;
    }
    EXPECT_EQ(restarts, 5u) << said;
    expectLine("soundrelay stopped (exited with status 0)");
    EXPECT_EQ(host_->child().waitExit(10s), 1);
}

TEST_F(ExampleHost, AKeywatchThatStopsWritingHeartbeatsIsReplaced)
{
    startHost({});
    ASSERT_EQ(::kill(keywatchPid_, SIGSTOP), 0);
    // Three heartbeats missed, then its stop in steps: well within 20 s.
    expectLine("keywatch silent for 7 s, wedged (killed by signal 9)", 20s);
    EXPECT_TRUE(processGone(keywatchPid_));
    EXPECT_GT(startedPid(expectLine("keywatch started")), 0);
    EXPECT_EQ(stopHost(), 0);
}

TEST_F(ExampleHost, CaptureLostEndsTheUtteranceAndTheNextPressRecordsAfresh)
{
    std::string error;
    auto pulse = testsupport::PrivatePulse::start({}, &error);
    ASSERT_TRUE(pulse) << error;
    startHost({}, pulse->clientEnvironment());

    // A tenth of a second of sound in each utterance before it ends.
    const size_t someSound = 44 + kRate / 10 * 2;
    tapCaps();
    expectLine("utterance 1: recording from microphone");
    ASSERT_TRUE(waitForFileSize(outFile(1), someSound, 5s));
    ASSERT_TRUE(pulse->kill());
    expectLine("utterance 1: capture lost");
    // Ended cleanly: the file keeps what arrived before the loss.
    EXPECT_GE(recorded(expectLine("utterance 1: " + outFile(1))).size(), kRate / 10);
    tapCaps();  // push-to-talk up: nothing is left to stop

    ASSERT_TRUE(pulse->restart(&error)) << error;
    tapCaps();
    expectLine("utterance 2: recording from microphone");
    ASSERT_TRUE(waitForFileSize(outFile(2), someSound, 5s));
    tapCaps();
    EXPECT_GE(recorded(expectLine("utterance 2: " + outFile(2))).size(), kRate / 10);
    EXPECT_EQ(stopHost(), 0);
}

// --pre-roll: standby from the start, and each utterance begins with what
// was held before its press.
TEST_F(ExampleHost, APreRollBeginsEachUtteranceBeforeItsPress)
{
    std::string error;
    auto pulse = testsupport::PrivatePulse::start({}, &error);
    ASSERT_TRUE(pulse) << error;
    startHost({"--pre-roll", "300"}, pulse->clientEnvironment());
    EXPECT_NE(host_->transcript().find("soundrelay in standby"), std::string::npos) << host_->transcript();

    // The first press may come before standby holds 300 ms; by the second,
    // the first utterance has run longer than that.
    const size_t preRollBytes = 44 + kRate * 3 / 10 * 2;
    for (int number : {1, 2}) {
        tapCaps();
        const std::string started = expectLine("utterance " + std::to_string(number) + ": recording from microphone");
        if (number == 2) {
            EXPECT_NE(started.find("at 48000 Hz, from 300 ms before the press"), std::string::npos) << started;
        }
        ASSERT_TRUE(waitForFileSize(outFile(number), preRollBytes, 5s));
        tapCaps();
        EXPECT_GE(recorded(expectLine("utterance " + std::to_string(number) + ": " + outFile(number))).size(),
                  kRate * 3 / 10);
    }
    EXPECT_EQ(stopHost(), 0);
}

TEST_F(ExampleHost, AHelperThatCannotStartEndsTheHostWithAClearMessage)
{
    struct Case {
        const char* what;
        std::string keywatch;    // script body; "real": the built one; "": none
        std::string soundrelay;  // likewise
        std::string message;
    };
    const Case cases[] = {
        {"keywatch finds no tap", R"(echo '{"t":"err","m":"all_taps_failed"}'; exit 1)", "real",
         "keywatch cannot watch the keyboard: all_taps_failed (exited with status 1)"},
        {"soundrelay ends at once", "real", "exit 3", "soundrelay did not answer a ping (exited with status 3)"},
        {"no helpers at all", "", "", "keywatch and soundrelay not found"},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = scratch_.file("helpers-" + std::to_string(++number));
        std::filesystem::create_directory(dir);
        for (const auto& [name, body] : {std::pair{"keywatch", c.keywatch}, std::pair{"soundrelay", c.soundrelay}}) {
            const std::string path = dir + "/" + name;
            if (body == "real") {
                std::filesystem::create_symlink(kHelpers + "/" + name, path);
            } else if (!body.empty()) {
                ASSERT_TRUE(writeScript(path, body));
            }
        }
        launch({"--helpers", dir, "--out", scratch_.file("out")});
        EXPECT_EQ(host_->child().waitExit(15s), 1);
        const std::string stderrText = host_->child().readStderr(2s);
        EXPECT_NE(stderrText.find(c.message), std::string::npos) << stderrText;
    }
}

}  // namespace
