// keywatch on a display whose server stops answering (SIGSTOP): its
// heartbeat goes on, and every way of ending it still ends it at once.
#include "keywatch_run.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace {

using namespace kwtest;
using testsupport::PrivateXvfb;
using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;

// The bound asked of SIGTERM and end of input while the server is stopped.
constexpr milliseconds kPromptEnd = 500ms;
// A dead parent is seen by the next heartbeat, 2 s at most; the rest is
// slack for the tap's bounded teardown and the exit itself.
constexpr milliseconds kWithinOneHeartbeat = 2500ms;

class StoppedDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        display_ = PrivateXvfb::start(&error);
        ASSERT_TRUE(display_) << error;
        keys_ = XtestKeyboard::connect(display_->name());
        ASSERT_TRUE(keys_);
    }

    void TearDown() override
    {
        // Whatever failed, the server must run again to end cleanly.
        if (display_) {
            display_->resume();
        }
        if (run_) {
            EXPECT_EQ(run_->finish(), std::optional<int>(0));
        }
        keys_.reset();
        if (display_) {
            EXPECT_EQ(display_->stop(), std::optional<int>(0));
        }
    }

    void startKeywatch()
    {
        std::string error;
        run_ = KeywatchRun::start({{}, display_->name(), true}, &error);
        ASSERT_TRUE(run_) << error;
    }

    std::optional<PrivateXvfb> display_;
    std::optional<XtestKeyboard> keys_;
    std::optional<KeywatchRun> run_;
};

TEST_F(StoppedDisplay, HeartbeatsGoOnAndKeysAreSeenAgainOnceItContinues)
{
    startKeywatch();
    keys_->tap(xkey::kCapsLock);
    EXPECT_EQ(run_->event(), kCd);
    display_->pause();
    // An injection that the server never takes must not hold up the rest.
    run_->send(R"({"kc":11})");
    for (int beat = 0; beat < 2; ++beat) {
        EXPECT_EQ(run_->line(), R"({"t":"hb","en":true,"ev":1,"sec":false,"tap":2,"valid":true})");
    }
    display_->resume();
    keys_->tap(xkey::kCapsLock);
    EXPECT_EQ(run_->event(), kCu);
}

TEST_F(StoppedDisplay, SignalsAndEndOfInputEndItPromptly)
{
    for (int signal : {SIGTERM, SIGINT, 0}) {
        SCOPED_TRACE(signal == 0 ? "end of input" : strsignal(signal));
        startKeywatch();
        display_->pause();
        if (signal == 0) {
            run_->child().closeStdin();
        } else {
            run_->child().sendSignal(signal);
        }
        EXPECT_EQ(run_->child().waitExit(kPromptEnd), std::optional<int>(0));
        display_->resume();
        EXPECT_EQ(run_->child().waitExit(5000ms), std::optional<int>(0));
        EXPECT_EQ(run_->stderrText(), "");
        run_.reset();
    }
}

TEST_F(StoppedDisplay, ADeadParentEndsItWithinOneHeartbeat)
{
    testsupport::ChildOptions options;
    // The shell is keywatch's parent; see the end-to-end test of a dying parent.
    options.argv = {"/bin/sh", "-c", "exec 3<&0; \"$0\" 0<&3 3<&- & echo $!; wait", KEYWATCH_PATH};
    options.extraEnv = {display_->displayEnv()};
    std::string error;
    auto shell = testsupport::Child::spawn(options, &error);
    ASSERT_TRUE(shell) << error;
    pid_t keywatch = 0;
    bool started = false;
    for (const auto& line : shell->readLines(2, kLineWait)) {
        if (line.rfind(R"({"t":"ok")", 0) == 0) {
            started = true;
        } else {
            keywatch = static_cast<pid_t>(std::stol(line));
        }
    }
    ASSERT_TRUE(started);
    ASSERT_GT(keywatch, 0);
    display_->pause();
    shell->sendSignal(SIGKILL);
    ASSERT_TRUE(shell->waitExit(5000ms));
    EXPECT_TRUE(exitsWithin(keywatch, kWithinOneHeartbeat));
    display_->resume();
    EXPECT_TRUE(exitsWithin(keywatch, 5000ms));
}

}  // namespace
