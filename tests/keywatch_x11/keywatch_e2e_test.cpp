// The keywatch binary on a private Xvfb, typed at through XTEST: every
// push-to-talk path from the X server's key events to keywatch's lines.
#include "keywatch_run.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace kwtest;
using testsupport::PrivateXvfb;
using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;
using Clock = std::chrono::steady_clock;

const std::string kCsd = R"({"t":"csd"})";
const std::string kCsu = R"({"t":"csu"})";
const std::string kMarkerDown = R"({"t":"pd","v":163})";
const std::string kMarkerUp = R"({"t":"pu","v":163})";

std::string keyDown(int vk) { return R"({"t":"kd","v":)" + std::to_string(vk) + "}"; }
std::string keyUp(int vk) { return R"({"t":"ku","v":)" + std::to_string(vk) + "}"; }
std::string debugLine(int type, int kc, unsigned long long flags)
{
    return R"({"t":"dbg","type":)" + std::to_string(type) + R"(,"kc":)" + std::to_string(kc) + R"(,"flags":)" +
           std::to_string(flags) + "}";
}

class KeywatchX11 : public ::testing::Test {
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
        if (run_) {
            EXPECT_EQ(run_->finish(), std::optional<int>(0));
            EXPECT_EQ(run_->stderrText(), "");
        }
        // A server whose memory was corrupted aborts instead of ending cleanly.
        keys_.reset();
        if (display_) {
            EXPECT_EQ(display_->stop(), std::optional<int>(0));
        }
    }

    void startKeywatch(std::vector<std::string> args)
    {
        std::string error;
        run_ = KeywatchRun::start({std::move(args), display_->name(), true}, &error);
        ASSERT_TRUE(run_) << error;
    }

    void tap(uint8_t keycode) { keys_->tap(keycode); }
    void press(uint8_t keycode) { keys_->press(keycode); }
    void release(uint8_t keycode) { keys_->release(keycode); }

    void expectEvents(const std::vector<std::string>& lines)
    {
        for (const auto& expected : lines) {
            EXPECT_EQ(run_->event().value_or("(no line)"), expected);
        }
    }

    // Right Control's lines prove that every key typed before it has been
    // classified without a line of its own.
    void expectNothingBeforeMarker()
    {
        tap(xkey::kRightControl);
        expectEvents({kMarkerDown, kMarkerUp});
    }

    // Its injection through "kc" proves the same for the commands sent before.
    void expectCommandsTaken()
    {
        run_->send(R"({"kc":62})");
        expectEvents({kMarkerDown, kMarkerUp});
    }

    std::optional<PrivateXvfb> display_;
    std::optional<XtestKeyboard> keys_;
    std::optional<KeywatchRun> run_;
};

TEST_F(KeywatchX11, StartsWithTheListenOnlyTapAndBeatsEveryTwoSeconds)
{
    startKeywatch({});
    EXPECT_EQ(run_->okLine(), R"({"t":"ok","tap":2,"en":true,"im":0,"remap":-1})");
    const auto started = Clock::now();
    EXPECT_EQ(run_->line(4000ms), R"({"t":"hb","en":true,"ev":0,"sec":false,"tap":2,"valid":true})");
    const auto first = Clock::now();
    tap(xkey::kA);
    tap(xkey::kLeftShift);
    EXPECT_EQ(run_->line(4000ms), R"({"t":"hb","en":true,"ev":4,"sec":false,"tap":2,"valid":true})");
    const auto second = Clock::now();
    // Loose bounds: the cadence, not the speed, is what is checked here.
    EXPECT_GT(first - started, 1000ms);
    EXPECT_GT(second - first, 1000ms);
    EXPECT_LT(second - first, 3500ms);
}

TEST_F(KeywatchX11, CapsLockOnAndOffIsPushToTalkDownAndUp)
{
    startKeywatch({});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
    tap(xkey::kCapsLock);
    tap(xkey::kCapsLock);
    expectEvents({kCd, kCu});
    EXPECT_EQ(keys_->capsLocked(), std::optional<bool>(false));
}

TEST_F(KeywatchX11, ShiftJoinsAndLeavesAHeldCaps)
{
    startKeywatch({});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    press(xkey::kLeftShift);
    expectEvents({kCsd});
    release(xkey::kLeftShift);
    expectEvents({kCsu});
    press(xkey::kRightShift);
    expectEvents({kCsd});
    tap(xkey::kCapsLock);
    expectEvents({kCsu, kCu});
    release(xkey::kRightShift);
    expectNothingBeforeMarker();
}

TEST_F(KeywatchX11, ShiftHeldBeforeCapsJoinsAtOnce)
{
    startKeywatch({});
    press(xkey::kLeftShift);
    tap(xkey::kCapsLock);
    expectEvents({kCd, kCsd});
    release(xkey::kLeftShift);
    expectEvents({kCsu});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, WatchedKeysAreReportedOnlyWhileCapsIsHeld)
{
    startKeywatch({"65", "32", "13"});
    tap(xkey::kA);
    expectNothingBeforeMarker();
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    tap(xkey::kA);
    tap(xkey::kSpace);
    tap(xkey::kReturn);
    expectEvents({keyDown(65), keyUp(65), keyDown(32), keyUp(32), keyDown(13), keyUp(13)});
    tap(xkey::kB);
    tap(xkey::kQ);
    expectNothingBeforeMarker();
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, AutoRepeatOfAWatchedKeyRepeatsItsKeyDown)
{
    startKeywatch({"90"});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    press(xkey::kZ);
    // The server repeats a held key after its repeat delay.
    expectEvents({keyDown(90), keyDown(90), keyDown(90)});
    release(xkey::kZ);
    int repeats = 0;
    std::string next;
    while ((next = run_->event().value_or("(no line)")) == keyDown(90)) {
        ++repeats;
    }
    EXPECT_EQ(next, keyUp(90)) << "after " << repeats << " more repeats";
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, EachOfTheSixModifiersReportsItsOwnCode)
{
    struct Row {
        const char* name;
        uint8_t keycode;
        int vk;
    };
    const Row rows[] = {
        {"left Option", xkey::kLeftAlt, 164},      {"right Option", xkey::kRightAlt, 165},
        {"left Command", xkey::kLeftSuper, 91},    {"right Command", xkey::kRightSuper, 92},
        {"left Control", xkey::kLeftControl, 162}, {"right Control", xkey::kRightControl, 163},
    };
    startKeywatch({});
    for (bool capsHeld : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (capsHeld ? " with Caps held" : ""));
            tap(row.keycode);
            expectEvents({R"({"t":"pd","v":)" + std::to_string(row.vk) + "}",
                          R"({"t":"pu","v":)" + std::to_string(row.vk) + "}"});
        }
        tap(xkey::kCapsLock);
        expectEvents({capsHeld ? kCu : kCd});
    }
}

TEST_F(KeywatchX11, DebugLinesCarryMacKeyCodesAndFlags)
{
    startKeywatch({"--debug"});
    struct Row {
        const char* name;
        uint8_t keycode;
        int macKey;
    };
    const Row rows[] = {
        {"A", xkey::kA, 0},      {"Z", xkey::kZ, 6},       {"Return", xkey::kReturn, 36}, {"Tab", xkey::kTab, 48},
        {"Space", xkey::kSpace, 49}, {"Escape", xkey::kEscape, 53}, {"F1", xkey::kF1, 122}, {"F13", xkey::kF13, 105},
        {"F20", xkey::kF20, 90}, {"Left", xkey::kLeft, 123}, {"Right", xkey::kRightArrow, 124},
        {"Down", xkey::kDown, 125}, {"Up", xkey::kUp, 126},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        tap(row.keycode);
        expectEvents({debugLine(10, row.macKey, 0), debugLine(11, row.macKey, 0)});
    }
    press(xkey::kLeftShift);
    tap(xkey::kA);
    release(xkey::kLeftShift);
    expectEvents({debugLine(12, 56, 0x20002), debugLine(10, 0, 0x20002), debugLine(11, 0, 0x20002),
                  debugLine(12, 56, 0)});
    press(xkey::kRightSuper);
    press(xkey::kLeftAlt);
    release(xkey::kLeftAlt);
    release(xkey::kRightSuper);
    expectEvents({debugLine(12, 54, 0x100010), R"({"t":"pd","v":92})", debugLine(12, 58, 0x180030),
                  R"({"t":"pd","v":164})", debugLine(12, 58, 0x100010), R"({"t":"pu","v":164})",
                  debugLine(12, 54, 0), R"({"t":"pu","v":92})"});
    tap(xkey::kCapsLock);
    tap(xkey::kA);
    tap(xkey::kCapsLock);
    expectEvents({debugLine(12, 57, 0x10000), kCd, debugLine(10, 0, 0x10000), debugLine(11, 0, 0x10000),
                  debugLine(12, 57, 0), kCu});
}

TEST_F(KeywatchX11, TheDirectMapInjectsTheMappedKeyWhichIsReportedInItsPlace)
{
    startKeywatch({"65", "66", "--map", "65:11"});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    // A is replaced by B (key code 11), whose own press comes back through the tap.
    tap(xkey::kA);
    expectEvents({keyDown(66), keyUp(66)});
    tap(xkey::kB);
    expectEvents({keyDown(66), keyUp(66)});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
    tap(xkey::kA);
    expectNothingBeforeMarker();
}

TEST_F(KeywatchX11, KcCommandsInjectKeysThatAreClassifiedLikeTypedOnes)
{
    startKeywatch({"66"});
    run_->send(R"({"kc":11})");
    expectCommandsTaken();
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    run_->send(R"({"kc":11})");
    expectEvents({keyDown(66), keyUp(66)});
    run_->send(R"({"kc":58})");
    expectEvents({R"({"t":"pd","v":164})", R"({"t":"pu","v":164})"});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, ResetDropsTheHeldCapsWithoutALine)
{
    startKeywatch({});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    run_->send(R"({"c":"reset"})");
    expectCommandsTaken();
    // Caps Lock turning off now finds nothing held.
    tap(xkey::kCapsLock);
    expectNothingBeforeMarker();
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, WatchCapsReportsTheNextLockChangeOnce)
{
    startKeywatch({});
    run_->send(R"({"c":"watch-caps"})");
    expectCommandsTaken();
    tap(xkey::kCapsLock);
    expectEvents({R"({"t":"cpx","state":1})"});
    // Disarmed: Caps Lock is classified again; turning it off finds nothing held.
    tap(xkey::kCapsLock);
    expectNothingBeforeMarker();
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    run_->send(R"({"c":"watch-caps"})");
    expectCommandsTaken();
    tap(xkey::kCapsLock);
    expectEvents({R"({"t":"cpx","state":0})"});
}

// Keys typed back to back reach keywatch in one batch; each must be judged
// by the flags as of itself, not by those the later keys left behind.
using Strokes = std::vector<std::pair<uint8_t, bool>>;

void typeSpaced(XtestKeyboard& keys, const Strokes& strokes, milliseconds pause)
{
    if (pause == 0ms) {
        keys.typeAtOnce(strokes);
        return;
    }
    for (const auto& [keycode, down] : strokes) {
        keys.typeAtOnce({{keycode, down}});
        std::this_thread::sleep_for(pause);
    }
}

TEST_F(KeywatchX11, ShiftAroundACapsTapJoinsAndLeavesItWhateverThePause)
{
    const Strokes strokes = {{xkey::kLeftShift, true}, {xkey::kCapsLock, true}, {xkey::kCapsLock, false},
                             {xkey::kLeftShift, false}};
    for (const auto pause : {0ms, 50ms}) {
        SCOPED_TRACE(std::to_string(pause.count()) + " ms between the keys");
        startKeywatch({});
        typeSpaced(*keys_, strokes, pause);
        expectEvents({kCd, kCsd, kCsu});
        tap(xkey::kCapsLock);
        expectEvents({kCu});
        EXPECT_EQ(run_->finish(), std::optional<int>(0));
        run_.reset();
    }
}

TEST_F(KeywatchX11, WatchCapsSeesTheFirstOfTwoQuickLockChanges)
{
    const Strokes twice = {{xkey::kCapsLock, true}, {xkey::kCapsLock, false}, {xkey::kCapsLock, true},
                           {xkey::kCapsLock, false}};
    for (const auto pause : {0ms, 100ms}) {
        SCOPED_TRACE(std::to_string(pause.count()) + " ms between the keys");
        startKeywatch({});
        run_->send(R"({"c":"watch-caps"})");
        expectCommandsTaken();
        typeSpaced(*keys_, twice, pause);
        expectEvents({R"({"t":"cpx","state":1})"});
        // Disarmed: the second press turns the lock off and finds nothing held.
        expectNothingBeforeMarker();
        EXPECT_EQ(keys_->capsLocked(), std::optional<bool>(false));
        EXPECT_EQ(run_->finish(), std::optional<int>(0));
        run_.reset();
    }
}

TEST_F(KeywatchX11, UnwatchCapsDisarmsTheWatch)
{
    startKeywatch({});
    run_->send(R"({"c":"watch-caps"})");
    run_->send(R"({"c":"unwatch-caps"})");
    expectCommandsTaken();
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    tap(xkey::kCapsLock);
    expectEvents({kCu});
}

TEST_F(KeywatchX11, ARemappedCapsKeyIsPushToTalkAndThePhysicalCapsLockDrifts)
{
    startKeywatch({"--remap", "79", "65"});
    EXPECT_EQ(run_->okLine(), R"({"t":"ok","tap":2,"en":true,"im":0,"remap":79})");
    press(xkey::kF18);
    expectEvents({kCd});
    tap(xkey::kA);
    expectEvents({keyDown(65), keyUp(65)});
    release(xkey::kF18);
    expectEvents({kCu});
    // The remap no longer applies: Caps Lock itself arrives, reported at most once in 3 s.
    tap(xkey::kCapsLock);
    expectEvents({R"({"t":"drift"})"});
    tap(xkey::kCapsLock);
    expectNothingBeforeMarker();
    tap(xkey::kF18);
    expectEvents({kCd, kCu});
}

TEST_F(KeywatchX11, AutoRepeatOfTheRemappedCapsKeyWritesNothing)
{
    startKeywatch({"--debug", "--remap", "79"});
    press(xkey::kF18);
    expectEvents({debugLine(10, 79, 0), kCd});
    // The server's repeats of the held key arrive and are swallowed.
    expectEvents({debugLine(10, 79, 0), debugLine(10, 79, 0)});
    release(xkey::kF18);
    std::string next;
    while ((next = run_->event().value_or("(no line)")) == debugLine(10, 79, 0)) {
    }
    EXPECT_EQ(next, debugLine(11, 79, 0));
    expectEvents({kCu});
}

TEST_F(KeywatchX11, ACapsHeldFifteenSecondsWithoutActivityIsReleasedAsStuck)
{
    startKeywatch({});
    tap(xkey::kCapsLock);
    expectEvents({kCd});
    const auto pressed = Clock::now();
    EXPECT_EQ(run_->event(25000ms), R"({"t":"cu","stuck":true})");
    EXPECT_GE(Clock::now() - pressed, 14000ms);
    // Seven ticks passed: the upgrade attempts on the fifth failed without a line.
    const auto beats = run_->takeSkippedHeartbeats();
    EXPECT_GE(beats.size(), 6u);
    for (const auto& beat : beats) {
        EXPECT_EQ(beat, R"({"t":"hb","en":true,"ev":1,"sec":false,"tap":2,"valid":true})");
    }
    // Caps Lock is still locked; turning it off finds nothing held.
    tap(xkey::kCapsLock);
    expectNothingBeforeMarker();
}

TEST_F(KeywatchX11, EndOfInputAndSignalsEndTheRunWithStatusZero)
{
    for (int signal : {0, SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == 0 ? "end of input" : strsignal(signal));
        std::string error;
        auto run = KeywatchRun::start({{}, display_->name(), true}, &error);
        ASSERT_TRUE(run) << error;
        if (signal == 0) {
            run->child().closeStdin();
        } else {
            run->child().sendSignal(signal);
        }
        EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(0));
        EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
        EXPECT_EQ(run->stderrText(), "");
    }
}

// The descriptors keywatch opens must not take the place of a closed
// standard input and keep it waiting for commands that never come.
TEST_F(KeywatchX11, AClosedStandardInputEndsTheRunLikeEndOfInput)
{
    std::string error;
    auto run = KeywatchRun::start({{"65"}, display_->name(), true, false}, &error);
    ASSERT_TRUE(run) << error;
    EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(0));
    EXPECT_EQ(run->stderrText(), "");
}

// The server is brought down by a recording freed while it still carries
// data; keywatch ending after typing must leave the display serving.
TEST_F(KeywatchX11, EndingAfterTypingLeavesTheDisplayServing)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string error;
        auto run = KeywatchRun::start({{"65"}, display_->name(), true}, &error);
        ASSERT_TRUE(run) << error;
        tap(xkey::kA);
        ASSERT_TRUE(keys_->sync());
        EXPECT_EQ(run->finish(), std::optional<int>(0));
        EXPECT_EQ(run->stderrText(), "");
    }
    EXPECT_TRUE(keys_->sync());
}

TEST_F(KeywatchX11, ItEndsWhenItsParentDies)
{
    testsupport::ChildOptions options;
    // The shell is keywatch's parent and holds no pipe of its own once killed;
    // without the redirections a background job would read /dev/null.
    options.argv = {"/bin/sh", "-c", "exec 3<&0; \"$0\" 65 --remap 79 0<&3 3<&- & echo $!; wait", KEYWATCH_PATH};
    options.extraEnv = {display_->displayEnv()};
    std::string error;
    auto shell = testsupport::Child::spawn(options, &error);
    ASSERT_TRUE(shell) << error;
    pid_t keywatch = 0;
    bool started = false;
    for (const auto& line : shell->readLines(2, kLineWait)) {
        if (line == R"({"t":"ok","tap":2,"en":true,"im":0,"remap":79})") {
            started = true;
        } else {
            keywatch = static_cast<pid_t>(std::stol(line));
        }
    }
    ASSERT_TRUE(started);
    ASSERT_GT(keywatch, 0);
    // A first heartbeat shows it running with its input open.
    EXPECT_EQ(shell->readLine(4000ms), R"({"t":"hb","en":true,"ev":0,"sec":false,"tap":2,"valid":true})");
    shell->sendSignal(SIGKILL);
    ASSERT_TRUE(shell->waitExit(5000ms));
    // The next heartbeat finds the parent gone; the remap reset finds no tool to run.
    EXPECT_TRUE(exitsWithin(keywatch, 8000ms));
    const std::string rest = shell->readRemainingStdout(1000ms);
    for (size_t at = 0; at < rest.size();) {
        const size_t lf = rest.find('\n', at);
        EXPECT_TRUE(isHeartbeat(rest.substr(at, lf - at))) << rest;
        at = lf == std::string::npos ? rest.size() : lf + 1;
    }
    EXPECT_EQ(shell->readStderr(500ms), "");
}

TEST(KeywatchX11Start, WithoutADisplayEveryTapFailsAndItExitsWithOne)
{
    std::string error;
    auto run = KeywatchRun::start({{}, std::nullopt, false}, &error);
    ASSERT_TRUE(run) << error;
    EXPECT_EQ(run->line(), R"({"t":"err","m":"all_taps_failed"})");
    EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(1));
    EXPECT_EQ(run->stderrText(), "");
}

TEST(KeywatchX11Start, ADisplayThatWillNotRecordFailsTheTapAndTheProbe)
{
    std::string error;
    auto display = PrivateXvfb::start(&error, {std::nullopt, {"-extension", "RECORD"}});
    ASSERT_TRUE(display) << error;
    using Args = std::vector<std::string>;
    for (const auto& [args, line, status] : {std::tuple{Args{}, R"({"t":"err","m":"all_taps_failed"})", 1},
                                             std::tuple{Args{"--check-im"}, R"({"im":1})", 0}}) {
        auto run = KeywatchRun::start({args, display->name(), false}, &error);
        ASSERT_TRUE(run) << error;
        EXPECT_EQ(run->line(), line);
        EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(status));
        EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
        EXPECT_EQ(run->stderrText(), "");
    }
}

TEST_F(KeywatchX11, ProbesAnswerForX11)
{
    // No active tap at the HID level exists on X11, and secure input is unknown here.
    for (const auto& [word, line] : {std::pair{"--check-im", R"({"im":1})"},
                                     std::pair{"--check-sec", R"({"sec":false,"resolved":false})"}}) {
        std::string error;
        auto run = KeywatchRun::start({{word}, display_->name(), false}, &error);
        ASSERT_TRUE(run) << error;
        EXPECT_EQ(run->line(), line);
        EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(0));
        EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
        EXPECT_EQ(run->stderrText(), "");
    }
}

// A display number of its own, far above those that -displayfd hands out,
// so that no other test's server takes it while this one is away.
std::optional<PrivateXvfb> startOnAFixedNumber(std::string* error)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int number = 200 + static_cast<int>((::getpid() + attempt * 37) % 600);
        if (auto display = PrivateXvfb::start(error, {number, {}})) {
            return display;
        }
    }
    return std::nullopt;
}

TEST(KeywatchX11Display, SurvivesTheDisplayGoingAwayAndComingBack)
{
    std::string error;
    auto display = startOnAFixedNumber(&error);
    ASSERT_TRUE(display) << error;
    const int number = display->number();
    auto run = KeywatchRun::start({{}, display->name(), true}, &error);
    ASSERT_TRUE(run) << error;
    ASSERT_EQ(display->stop(), std::optional<int>(0));
    // Every tick without a display tries again and says so.
    for (int tick = 0; tick < 2; ++tick) {
        EXPECT_EQ(run->line(5000ms), R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})");
        EXPECT_EQ(run->line(), R"({"t":"hb","en":false,"ev":0,"sec":false,"reEnabled":false,"tap":-1,"valid":false})");
    }
    display = PrivateXvfb::start(&error, {number, {}});
    ASSERT_TRUE(display) << error;
    std::string line;
    do {
        line = run->line(5000ms).value_or("(no line)");
    } while (line == R"({"t":"hb","en":false,"ev":0,"sec":false,"reEnabled":false,"tap":-1,"valid":false})" ||
             line == R"({"t":"recreated","ok":false,"tap":-1,"reason":"heartbeat_port_invalid"})");
    EXPECT_EQ(line, R"({"t":"recreated","ok":true,"tap":2,"reason":"heartbeat_port_invalid"})");
    EXPECT_EQ(run->line(), R"({"t":"hb","en":true,"ev":0,"sec":false,"reEnabled":true,"tap":2,"valid":true})");
    auto keys = XtestKeyboard::connect(display->name());
    ASSERT_TRUE(keys);
    keys->tap(xkey::kCapsLock);
    EXPECT_EQ(run->event(), kCd);
    EXPECT_EQ(run->finish(), std::optional<int>(0));
    EXPECT_EQ(run->stderrText(), "");
    keys.reset();
    EXPECT_EQ(display->stop(), std::optional<int>(0));
}

}  // namespace
