// keywatch from start to exit, run in this process on a thread of its own
// against the simulated keyboard, with pipes on its input and output.
#include "keywatch_fixture.h"

#include "event_tap.h"
#include "lifecycle.h"
#include "lines.h"
#include "options.h"
#include "remap_reset.h"
#include "stdin_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <optional>
#include <thread>

namespace kwtest {
namespace {

const std::string OK_LINE = R"({"t":"ok","tap":0,"en":true,"im":0,"remap":-1})";

class Lifecycle : public KeywatchTest {
protected:
    void SetUp() override
    {
        KeywatchTest::SetUp();
        // Standard input may not be open at all (CI has none).
        savedStdin_ = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        int input[2];
        int output[2];
        ASSERT_EQ(pipe(input), 0);
        ASSERT_EQ(pipe(output), 0);
        if (input[0] != STDIN_FILENO) {
            dup2(input[0], STDIN_FILENO);
            close(input[0]);
        }
        inputWrite_ = input[1];
        outputRead_ = output[0];
        outputStream_ = fdopen(output[1], "w");
        // As keywatch makes its standard output: the probe lines have no flush.
        setvbuf(outputStream_, nullptr, _IONBF, 0);
        setLineOutput(outputStream_);
    }

    void TearDown() override
    {
        if (runner_.joinable()) {
            if (!finished(5000ms))
                signalKeywatch(SIGTERM);
            runner_.join();
        }
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        closeInput();
        if (savedStdin_ >= 0) {
            dup2(savedStdin_, STDIN_FILENO);
            close(savedStdin_);
        } else {
            close(STDIN_FILENO);
        }
        setLineOutput(nullptr);
        if (outputStream_ != nullptr)
            fclose(outputStream_);
        close(outputRead_);
        KeywatchTest::TearDown();
    }

    void signalKeywatch(int signalNumber) { pthread_kill(runner_.native_handle(), signalNumber); }

    void start(const std::vector<std::string>& words)
    {
        words_ = std::make_unique<Words>(words);
        runner_ = std::thread([this, result = std::move(exit_)]() mutable {
            result.set_value(keywatchMain(words_->argc(), words_->argv()));
        });
    }

    bool finished(std::chrono::milliseconds timeout)
    {
        return exitStatus_.wait_for(timeout) == std::future_status::ready;
    }

    // The exit status, or -1 when keywatch did not end in time.
    int waitExit(std::chrono::milliseconds timeout = 5000ms)
    {
        if (!finished(timeout))
            return -1;
        runner_.join();
        return exitStatus_.get();
    }

    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 3000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd fd = {outputRead_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = read(outputRead_, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            pending_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Nothing more was written (keywatch has ended, so the pipe holds all).
    bool nothingMoreWritten() { return !readLine(50ms).has_value(); }

    void writeInput(const std::string& bytes)
    {
        ASSERT_EQ(write(inputWrite_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    void closeInput()
    {
        if (inputWrite_ >= 0)
            close(inputWrite_);
        inputWrite_ = -1;
    }

    void allowNoTap()
    {
        for (sim::TapKind kind : {sim::TapKind::hid, sim::TapKind::session, sim::TapKind::listenOnly})
            keyboard->allowTap(kind, false);
    }

private:
    int savedStdin_ = -1;
    int inputWrite_ = -1;
    int outputRead_ = -1;
    FILE* outputStream_ = nullptr;
    std::string pending_;
    std::unique_ptr<Words> words_;
    std::promise<int> exit_;
    std::future<int> exitStatus_ = exit_.get_future();
    std::thread runner_;
};

TEST_F(Lifecycle, WithoutAnyTapTheErrLineAndExitOne)
{
    allowNoTap();
    start({"65"});
    EXPECT_EQ(waitExit(), 1);
    EXPECT_EQ(readLine(), R"({"t":"err","m":"all_taps_failed"})");
    EXPECT_TRUE(nothingMoreWritten());
}

struct StartCase {
    const char* name;
    std::vector<std::string> words;
    std::function<void(sim::Keyboard&)> system;
    const char* okLine;

    friend void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }
};

class StartLine : public Lifecycle, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartLine, OkLineAndEndOfInput)
{
    const StartCase& c = GetParam();
    c.system(*keyboard);
    start(c.words);
    EXPECT_EQ(readLine(), c.okLine);
    closeInput();
    EXPECT_EQ(waitExit(), 0);
    EXPECT_TRUE(nothingMoreWritten());
    EXPECT_EQ(gParentEofDetected.load(), 1);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

const StartCase kStartCases[] = {
    {"Default", {}, [](sim::Keyboard&) {}, R"({"t":"ok","tap":0,"en":true,"im":0,"remap":-1})"},
    {"SessionTapAndRemap",
     {"--remap", "0x3C"},
     [](sim::Keyboard& k) { k.allowTap(sim::TapKind::hid, false); },
     R"({"t":"ok","tap":1,"en":true,"im":0,"remap":60})"},
    {"ListenOnlyWithoutAccess",
     {},
     [](sim::Keyboard& k) {
         k.allowTap(sim::TapKind::hid, false);
         k.allowTap(sim::TapKind::session, false);
         k.setListenAccess(sim::ListenAccess::denied);
     },
     R"({"t":"ok","tap":2,"en":true,"im":1,"remap":-1})"},
    {"AccessUnknown", {}, [](sim::Keyboard& k) { k.setListenAccess(sim::ListenAccess::absent); },
     R"({"t":"ok","tap":0,"en":true,"im":-1,"remap":-1})"},
};

INSTANTIATE_TEST_SUITE_P(Keywatch, StartLine, ::testing::ValuesIn(kStartCases),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

struct ProbeCase {
    const char* name;
    std::vector<std::string> words;
    std::function<void(sim::Keyboard&)> system;
    const char* line;

    friend void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }
};

class ProbeRun : public Lifecycle, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeRun, PrintsOneLineAndExitsZero)
{
    const ProbeCase& c = GetParam();
    c.system(*keyboard);
    start(c.words);
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(readLine(), c.line);
    EXPECT_TRUE(nothingMoreWritten());
    EXPECT_EQ(keyboard->liveTaps(), 0);
    // Only the tap probe asks for a tap: an active one at the HID level, for key-down events.
    const std::vector<standin::TapRequest> requests = keyboard->tapRequests();
    const bool tapProbe = std::string(c.line).find("im") != std::string::npos;
    ASSERT_EQ(requests.size(), tapProbe ? 1u : 0u);
    if (tapProbe) {
        EXPECT_EQ(requests[0].location, kCGHIDEventTap);
        EXPECT_EQ(requests[0].options, kCGEventTapOptionDefault);
        EXPECT_EQ(requests[0].mask, 0x400u);
    }
}

const ProbeCase kProbeCases[] = {
    {"TapProbeSucceeds", {"--check-im"}, [](sim::Keyboard&) {}, R"({"im":0})"},
    {"TapProbeFails",
     {"12", "--map", "1:2", "--check-im"},
     [](sim::Keyboard& k) { k.allowTap(sim::TapKind::hid, false); },
     R"({"im":1})"},
    {"SecureInputOn", {"--check-sec", "--check-im"}, [](sim::Keyboard& k) { k.setSecureInput(true); },
     R"({"sec":true,"resolved":true})"},
    {"SecureInputOff", {"--debug", "--check-sec"}, [](sim::Keyboard&) {}, R"({"sec":false,"resolved":true})"},
    {"SecureInputUnknown",
     {"--remap", "--check-sec"},
     [](sim::Keyboard& k) {
         k.setSecureInputAvailable(false);
         k.setSecureInput(true);
     },
     R"({"sec":false,"resolved":false})"},
};

INSTANTIATE_TEST_SUITE_P(Keywatch, ProbeRun, ::testing::ValuesIn(kProbeCases),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(Lifecycle, TheRunServesKeysCommandsAndHeartbeats)
{
    start({"65"});
    ASSERT_EQ(readLine(), OK_LINE);
    keyboard->flagsChanged(57, 0x10000);
    EXPECT_EQ(readLine(), R"({"t":"cd"})");
    keyboard->keyDown(0);
    EXPECT_EQ(readLine(), R"({"t":"kd","v":65})");
    writeInput("{\"kc\":49}\n");
    // The injected press and release come back through the tap.
    EXPECT_TRUE(keyboard->waitForDeliveries(4, 2000ms));
    EXPECT_TRUE(keyboard->advanceAndWait(2.0, 2000ms));
    EXPECT_EQ(readLine(), R"({"t":"hb","en":true,"ev":4,"sec":false,"tap":0,"valid":true})");
    closeInput();
    EXPECT_EQ(waitExit(), 0);
    EXPECT_TRUE(nothingMoreWritten());
}

// The heartbeat's timer counts elapsed time, not the wall clock's reading.
TEST_F(Lifecycle, HeartbeatsKeepTheirCadenceWhenTheWallClockSteps)
{
    start({});
    ASSERT_EQ(readLine(), OK_LINE);
    // An event served proves the run loop, and so its timer, is there.
    keyboard->keyDown(1);
    ASSERT_TRUE(keyboard->waitForDeliveries(1, 2000ms));
    for (const CFTimeInterval step : {-600.0, 600.0}) {
        SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
        keyboard->stepWallClock(step);
        ASSERT_TRUE(keyboard->advanceAndWait(2.0, 2000ms));
        EXPECT_EQ(readLine(), R"({"t":"hb","en":true,"ev":1,"sec":false,"tap":0,"valid":true})");
        EXPECT_TRUE(nothingMoreWritten());
    }
    closeInput();
    EXPECT_EQ(waitExit(), 0);
}

TEST_F(Lifecycle, SigtermEndsTheRunWithoutTheRemapReset)
{
    start({"--remap", "105"});
    ASSERT_EQ(readLine(), R"({"t":"ok","tap":0,"en":true,"im":0,"remap":105})");
    // Delivered where keywatch runs: this process's other threads are the tests'.
    signalKeywatch(SIGTERM);
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(gStopRequested.load(), 1);
    EXPECT_EQ(gParentEofDetected.load(), 0);
    EXPECT_FALSE(remapResetDue());
    EXPECT_TRUE(nothingMoreWritten());
}

int failToStartThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)
{
    return EAGAIN;
}

CFRunLoopTimerRef failToMakeTimer(CFAllocatorRef, CFAbsoluteTime, CFTimeInterval, CFOptionFlags, CFIndex,
                                  CFRunLoopTimerCallBack, CFRunLoopTimerContext*)
{
    return nullptr;
}

// Without the stdin thread, the heartbeat takes the commands and sees the end.
TEST_F(Lifecycle, WithoutTheStdinThreadTheHeartbeatReadsInput)
{
    gStartThread = failToStartThread;
    start({});
    ASSERT_EQ(readLine(), OK_LINE);
    // An event served proves the run loop, and so its timer, is there.
    keyboard->keyDown(1);
    ASSERT_TRUE(keyboard->waitForDeliveries(1, 2000ms));
    writeInput("{\"kc\":5}\n");
    ASSERT_TRUE(keyboard->advanceAndWait(2.0, 2000ms));
    EXPECT_TRUE(keyboard->waitForPosted(2, 2000ms));
    EXPECT_TRUE(readLine().has_value());
    closeInput();
    ASSERT_TRUE(keyboard->advanceAndWait(2.0, 2000ms));
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(gParentEofDetected.load(), 1);
}

TEST_F(Lifecycle, WithoutTheHeartbeatTheStdinThreadStillEndsTheRun)
{
    gCreateTimer = failToMakeTimer;
    start({});
    ASSERT_EQ(readLine(), OK_LINE);
    closeInput();
    EXPECT_EQ(waitExit(), 0);
}

// With neither, the main thread runs the heartbeat between slices of the
// loop: keys are still served, heartbeats still come, end of input still ends.
TEST_F(Lifecycle, WithNeitherKeywatchServesUntilItsInputEnds)
{
    gStartThread = failToStartThread;
    gCreateTimer = failToMakeTimer;
    start({});
    ASSERT_EQ(readLine(), OK_LINE);
    keyboard->flagsChanged(57, 0x10000);
    EXPECT_EQ(readLine(), R"({"t":"cd"})");
    // A slice lasts one interval of real time.
    EXPECT_EQ(readLine(5000ms), R"({"t":"hb","en":true,"ev":1,"sec":false,"tap":0,"valid":true})");
    closeInput();
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(gParentEofDetected.load(), 1);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}


struct ResetCase {
    const char* name;
    int32_t remap;
    std::function<pid_t()> parent;
    bool stop;
    bool due;
};

TEST(KeywatchRemapReset, DueOnlyWithARemapAndTheParentGone)
{
    const ResetCase cases[] = {
        {"parent gone", 60, deadPid, false, true},
        {"remap 0 counts", 0, deadPid, false, true},
        {"no remap", -1, deadPid, false, false},
        {"stopped by a signal", 60, deadPid, true, false},
        {"parent alive", 60, [] { return getppid(); }, false, false},
        {"parent pid 1", 60, [] { return pid_t(1); }, false, false},
    };
    for (const ResetCase& c : cases) {
        resetKeywatchGlobals();
        remapKeycode = c.remap;
        gParentPid = c.parent();
        gStopRequested.store(c.stop ? 1 : 0);
        EXPECT_EQ(remapResetDue(), c.due) << c.name;
    }
    resetKeywatchGlobals();
}

}  // namespace
}  // namespace kwtest
