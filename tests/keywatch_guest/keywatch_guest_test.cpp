// The keywatch binary in a guest with a real kernel input stack, typed at
// through a uinput keyboard: its lines, and what applications receive on the
// virtual keyboard keywatch re-emits through.
#include "input_devices.h"
#include "keywatch_guest_run.h"
#include "uinput_keyboard.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

using namespace kwguest;
using testsupport::grabError;
using testsupport::InputReader;
using testsupport::KeyEvent;
using testsupport::keyEvent;
using testsupport::tapEvents;
using testsupport::UinputKeyboard;
using testsupport::waitGrabError;
using kwguest::firstDifference;
using kwguest::takeFromEither;
using Clock = std::chrono::steady_clock;

const std::string kPhysicalName = kPhysicalKeyboard;
const std::string kCsd = R"({"t":"csd"})";
const std::string kCsu = R"({"t":"csu"})";
const std::string kActiveOk = R"({"t":"ok","tap":0,"en":true,"im":0,"remap":-1})";

std::string keyDown(int vk) { return R"({"t":"kd","v":)" + std::to_string(vk) + "}"; }
std::string keyUp(int vk) { return R"({"t":"ku","v":)" + std::to_string(vk) + "}"; }
std::string modifierDown(int vk) { return R"({"t":"pd","v":)" + std::to_string(vk) + "}"; }
std::string modifierUp(int vk) { return R"({"t":"pu","v":)" + std::to_string(vk) + "}"; }

constexpr uint16_t kLetters[] = {KEY_A, KEY_S, KEY_D, KEY_F, KEY_G, KEY_H, KEY_J, KEY_K, KEY_L,
                                 KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O};
uint16_t letter(size_t i) { return kLetters[i % std::size(kLetters)]; }

// Moves a file of the throwaway guest out of keywatch's sight while it lives.
class MovedAside {
public:
    explicit MovedAside(std::string path) : path_(std::move(path)), moved_(::rename(path_.c_str(), aside().c_str()) == 0) {}
    ~MovedAside()
    {
        if (moved_) {
            ::rename(aside().c_str(), path_.c_str());
        }
    }
    MovedAside(const MovedAside&) = delete;
    MovedAside& operator=(const MovedAside&) = delete;
    bool moved() const { return moved_; }

private:
    std::string aside() const { return path_ + ".off"; }
    std::string path_;
    bool moved_;
};

class KeywatchGuest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        keyboard_ = UinputKeyboard::create(kPhysicalName, &error);
        ASSERT_TRUE(keyboard_) << error;
    }

    void TearDown() override
    {
        if (run_) {
            EXPECT_EQ(run_->finish(), std::optional<int>(0));
            EXPECT_EQ(run_->stderrText(), "");
        }
    }

    // Starts keywatch with the active tap and waits until it holds the keyboard.
    void startKeywatch(std::vector<std::string> args)
    {
        startWithoutGrab(std::move(args));
        ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard was not grabbed";
    }

    void startWithoutGrab(std::vector<std::string> args, bool openVirtual = true)
    {
        std::string error;
        run_ = GuestKeywatch::start({std::move(args), true, openVirtual}, &error);
        ASSERT_TRUE(run_) << error;
    }

    void tap(uint16_t code) { keyboard_->tap(code); }
    void press(uint16_t code) { keyboard_->press(code); }
    void release(uint16_t code) { keyboard_->release(code); }

    void expectLines(const std::vector<std::string>& lines)
    {
        for (const auto& expected : lines) {
            EXPECT_EQ(run_->event().value_or("(no line)"), expected);
        }
    }

    void expectApplicationsGet(const std::vector<KeyEvent>& events)
    {
        EXPECT_EQ(firstDifference(events, run_->applications().take(events.size(), kLineWait)), "");
    }

    // Right Control passes and reports itself: whatever either stream carried
    // before it is all that the keys typed earlier produced.
    void expectNothingBeforeMarker()
    {
        tap(KEY_RIGHTCTRL);
        expectLines({modifierDown(163), modifierUp(163)});
        expectApplicationsGet(tapEvents(KEY_RIGHTCTRL));
    }

    std::optional<UinputKeyboard> keyboard_;
    std::optional<GuestKeywatch> run_;
};

TEST(GuestInput, ATestKeyboardIsReadBackThroughItsNodeAndCanBeGrabbed)
{
    std::string error;
    auto keyboard = UinputKeyboard::create(kPhysicalName, &error);
    ASSERT_TRUE(keyboard) << error;
    EXPECT_EQ(testsupport::waitForInputDevice(kPhysicalName, kLineWait), keyboard->devnode());
    auto reader = InputReader::open(keyboard->devnode(), &error);
    ASSERT_TRUE(reader) << error;
    keyboard->press(KEY_CAPSLOCK);
    keyboard->repeat(KEY_CAPSLOCK);
    keyboard->release(KEY_CAPSLOCK);
    // The console's Caps Lock, which the kernel keeps, is back off.
    keyboard->tap(KEY_CAPSLOCK);
    EXPECT_EQ(firstDifference({keyEvent(KEY_CAPSLOCK, 1), keyEvent(KEY_CAPSLOCK, 2), keyEvent(KEY_CAPSLOCK, 0),
                               keyEvent(KEY_CAPSLOCK, 1), keyEvent(KEY_CAPSLOCK, 0)},
                              reader->take(5, kLineWait)),
              "");
    EXPECT_EQ(grabError(keyboard->devnode()), 0);
    testsupport::UniqueFd holder(::open(keyboard->devnode().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::ioctl(holder.get(), EVIOCGRAB, 1), 0) << std::strerror(errno);
    EXPECT_EQ(grabError(keyboard->devnode()), EBUSY);
}

TEST_F(KeywatchGuest, StartsActiveAndPassesEverythingItDoesNotConsume)
{
    startKeywatch({"65", "13"});
    EXPECT_EQ(run_->okLine(), kActiveOk);
    // Its own virtual keyboard is never taken for a keyboard to grab.
    EXPECT_EQ(grabError(*testsupport::inputDeviceNode(kVirtualKeyboard)), 0);
    const std::vector<KeyEvent> typed = {
        keyEvent(KEY_A, 1),         keyEvent(KEY_A, 2),         keyEvent(KEY_A, 2),        keyEvent(KEY_A, 0),
        keyEvent(KEY_ENTER, 1),     keyEvent(KEY_ENTER, 0),     keyEvent(KEY_SPACE, 1),    keyEvent(KEY_SPACE, 0),
        keyEvent(KEY_1, 1),         keyEvent(KEY_1, 0),         keyEvent(KEY_F1, 1),       keyEvent(KEY_F1, 0),
        keyEvent(KEY_LEFTSHIFT, 1), keyEvent(KEY_Z, 1),         keyEvent(KEY_Z, 0),        keyEvent(KEY_LEFTSHIFT, 0),
        keyEvent(KEY_ESC, 1),       keyEvent(KEY_ESC, 0),       keyEvent(KEY_RIGHTSHIFT, 1), keyEvent(KEY_RIGHTSHIFT, 0),
    };
    for (const KeyEvent& event : typed) {
        keyboard_->send(event.code, event.value);
    }
    expectApplicationsGet(typed);
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, CapsLockTogglesPushToTalkAndNeverReachesApplications)
{
    startKeywatch({});
    press(KEY_CAPSLOCK);
    expectLines({kCd});
    release(KEY_CAPSLOCK);
    press(KEY_CAPSLOCK);
    expectLines({kCu});
    release(KEY_CAPSLOCK);
    tap(KEY_CAPSLOCK);
    tap(KEY_CAPSLOCK);
    expectLines({kCd, kCu});
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, WhileCapsIsHeldWatchedKeysAndShiftAreTakenAndReported)
{
    startKeywatch({"65", "13", "32"});
    tap(KEY_A);
    tap(KEY_ENTER);
    expectApplicationsGet({keyEvent(KEY_A, 1), keyEvent(KEY_A, 0), keyEvent(KEY_ENTER, 1), keyEvent(KEY_ENTER, 0)});
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCd});
    struct Row {
        const char* name;
        uint16_t code;
        std::vector<std::string> lines;  // for a press, an auto-repeat and a release
    };
    const Row rows[] = {
        {"A", KEY_A, {keyDown(65), keyDown(65), keyUp(65)}},
        {"Return", KEY_ENTER, {keyDown(13), keyDown(13), keyUp(13)}},
        {"Space", KEY_SPACE, {keyDown(32), keyDown(32), keyUp(32)}},
        {"left Shift", KEY_LEFTSHIFT, {kCsd, kCsu}},
        {"right Shift", KEY_RIGHTSHIFT, {kCsd, kCsu}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        press(row.code);
        if (row.lines.size() == 3) {
            keyboard_->repeat(row.code);
        }
        release(row.code);
        expectLines(row.lines);
    }
    // An unwatched key passes with Caps held; none of the above reached applications.
    tap(KEY_B);
    expectApplicationsGet(tapEvents(KEY_B));
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCu});
    tap(KEY_LEFTSHIFT);
    tap(KEY_SPACE);
    expectApplicationsGet({keyEvent(KEY_LEFTSHIFT, 1), keyEvent(KEY_LEFTSHIFT, 0), keyEvent(KEY_SPACE, 1),
                           keyEvent(KEY_SPACE, 0)});
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, ReleasesOfKeysPressedBeforeCapsStillReachApplications)
{
    startKeywatch({"65"});
    press(KEY_LEFTSHIFT);
    press(KEY_A);
    expectApplicationsGet({keyEvent(KEY_LEFTSHIFT, 1), keyEvent(KEY_A, 1)});
    tap(KEY_CAPSLOCK);
    expectLines({kCd, kCsd});
    release(KEY_A);
    expectLines({keyUp(65)});
    expectApplicationsGet({keyEvent(KEY_A, 0)});
    release(KEY_LEFTSHIFT);
    expectLines({kCsu});
    expectApplicationsGet({keyEvent(KEY_LEFTSHIFT, 0)});
    // Pressed during Caps, the same keys are taken whole.
    tap(KEY_A);
    tap(KEY_LEFTSHIFT);
    expectLines({keyDown(65), keyUp(65), kCsd, kCsu});
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCu});
}

TEST_F(KeywatchGuest, EachOfTheSixModifiersPassesAndReportsItsOwnCode)
{
    struct Row {
        const char* name;
        uint16_t code;
        int vk;
    };
    const Row rows[] = {
        {"left Option", KEY_LEFTALT, 164},      {"right Option", KEY_RIGHTALT, 165},
        {"left Command", KEY_LEFTMETA, 91},     {"right Command", KEY_RIGHTMETA, 92},
        {"left Control", KEY_LEFTCTRL, 162},    {"right Control", KEY_RIGHTCTRL, 163},
    };
    startKeywatch({});
    for (bool capsHeld : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (capsHeld ? " with Caps held" : ""));
            tap(row.code);
            expectLines({modifierDown(row.vk), modifierUp(row.vk)});
            expectApplicationsGet(tapEvents(row.code));
        }
        tap(KEY_CAPSLOCK);
        expectLines({capsHeld ? kCu : kCd});
    }
}

TEST_F(KeywatchGuest, TheDirectMapSendsTheMappedKeyInsteadOfAReport)
{
    startKeywatch({"65", "--map", "65:11"});
    tap(KEY_CAPSLOCK);
    expectLines({kCd});
    press(KEY_A);
    expectApplicationsGet(tapEvents(KEY_B));
    release(KEY_A);
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCu});
}

TEST_F(KeywatchGuest, ARemappedCapsKeyIsHeldPushToTalkAndThePhysicalCapsLockDriftsAndPasses)
{
    startKeywatch({"--remap", "79"});
    EXPECT_EQ(run_->okLine(), R"({"t":"ok","tap":0,"en":true,"im":0,"remap":79})");
    press(KEY_F18);
    expectLines({kCd});
    keyboard_->repeat(KEY_F18);
    keyboard_->repeat(KEY_F18);
    release(KEY_F18);
    expectLines({kCu});
    // No F18 event came before Caps Lock, which passes; the drift is told once.
    tap(KEY_CAPSLOCK);
    expectLines({R"({"t":"drift"})"});
    expectApplicationsGet(tapEvents(KEY_CAPSLOCK));
    tap(KEY_CAPSLOCK);
    expectApplicationsGet(tapEvents(KEY_CAPSLOCK));
    expectNothingBeforeMarker();
    tap(KEY_F18);
    expectLines({kCd, kCu});
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, KcCommandsInjectKeysThroughItsOwnTap)
{
    startKeywatch({"66"});
    // Posted keys go out on the virtual keyboard of the keyboard last typed on.
    expectNothingBeforeMarker();
    run_->send(R"({"kc":11})");
    expectApplicationsGet(tapEvents(KEY_B));
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCd});
    run_->send(R"({"kc":11})");
    expectLines({keyDown(66), keyUp(66)});
    expectNothingBeforeMarker();
    tap(KEY_CAPSLOCK);
    expectLines({kCu});
}

// The kernel queues 64 events for each reader of a device and drops the
// rest: typed without a pause, even a bare reader loses most of 500 taps. So
// the taps go in bursts that fit that queue, each typed without a pause.
TEST_F(KeywatchGuest, FiveHundredFastKeysAllArriveInOrder)
{
    startKeywatch({"65"});
    constexpr size_t kTaps = 500;
    constexpr size_t kBurst = 10;  // 40 events with their SYN_REPORTs
    std::vector<KeyEvent> sent;
    std::vector<KeyEvent> came;
    InputReader& applications = run_->applications();
    for (size_t i = 0; i < kTaps; ++i) {
        tap(letter(i));
        sent.push_back(keyEvent(letter(i), 1));
        sent.push_back(keyEvent(letter(i), 0));
        if ((i + 1) % kBurst == 0) {
            for (const KeyEvent& event : applications.take(sent.size() - came.size(), kLineWait)) {
                came.push_back(event);
            }
            ASSERT_EQ(came.size(), sent.size()) << firstDifference(sent, came);
        }
    }
    EXPECT_FALSE(applications.overflowed());
    EXPECT_EQ(firstDifference(sent, came), "");
    expectNothingBeforeMarker();
}

// keywatch blocks writing its debug lines once nobody reads them; the
// backend stops waiting for it and lets keys through. On a machine so
// loaded that the tap's own thread comes late, the guard may let the
// keyboard go instead, and keys then come straight from it.
TEST_F(KeywatchGuest, AStalledCallbackLetsKeysThroughAfterOneSecond)
{
    std::string error;
    auto direct = InputReader::open(keyboard_->devnode(), &error);
    ASSERT_TRUE(direct) << error;
    startKeywatch({"--debug"});
    InputReader& applications = run_->applications();
    constexpr size_t kMaxTaps = 4000;
    constexpr size_t kTapsAfterStall = 20;
    size_t stalledAt = 0;
    for (size_t i = 0; i < kMaxTaps && (stalledAt == 0 || i < stalledAt + kTapsAfterStall); ++i) {
        const auto typed = Clock::now();
        tap(letter(i));
        const auto came = takeFromEither(applications, *direct, 2, kLineWait);
        ASSERT_EQ(firstDifference(tapEvents(letter(i)), came), "")
            << "tap " << i << (stalledAt > 0 ? ", after the stall" : "");
        if (stalledAt == 0 && Clock::now() - typed > 400ms) {
            stalledAt = i;
        }
    }
    ASSERT_GT(stalledAt, 0u) << "keywatch never stalled on its full output";
    // Read now, the output lets the main thread go on and re-enable the tap.
    bool reEnabled = false;
    while (!reEnabled) {
        const auto line = run_->line();
        if (!line) {
            break;
        }
        reEnabled = *line == R"({"t":"re","reason":-2,"reset":true})";
    }
    EXPECT_TRUE(reEnabled);
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait));
    tap(KEY_B);
    expectApplicationsGet(tapEvents(KEY_B));
}

TEST_F(KeywatchGuest, AKeyHeldAtStartIsReleasedToTheSystemBeforeTheGrab)
{
    press(KEY_A);
    startWithoutGrab({});
    EXPECT_EQ(run_->okLine(), kActiveOk);
    release(KEY_A);
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard was not grabbed";
    // A's release would have come first.
    tap(KEY_B);
    expectApplicationsGet(tapEvents(KEY_B));
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, AKeyboardPluggedInLaterJoinsAndOneUnpluggedLeavesTheOtherWorking)
{
    startKeywatch({});
    std::string error;
    auto second = UinputKeyboard::create("second test keyboard", &error);
    ASSERT_TRUE(second) << error;
    ASSERT_TRUE(waitGrabError(second->devnode(), EBUSY, kGrabWait)) << "the second keyboard was not grabbed";
    ASSERT_TRUE(run_->watchOutput("second test keyboard (keywatch)", &error)) << error;
    second->tap(KEY_B);
    expectApplicationsGet(tapEvents(KEY_B));
    second->tap(KEY_CAPSLOCK);
    expectLines({kCd});
    keyboard_.reset();
    EXPECT_TRUE(testsupport::waitInputDeviceGone(kVirtualKeyboard, kLineWait));
    second->tap(KEY_C);
    expectApplicationsGet(tapEvents(KEY_C));
    second->tap(KEY_CAPSLOCK);
    expectLines({kCu});
    // Plugged in again, the first keyboard joins once more.
    keyboard_ = UinputKeyboard::create(kPhysicalName, &error);
    ASSERT_TRUE(keyboard_) << error;
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the first keyboard was not grabbed";
    ASSERT_TRUE(run_->watchOutput(kVirtualKeyboard, &error)) << error;
    expectNothingBeforeMarker();
}

// After keywatch ends, the keyboard is free and the virtual keyboard gone.
void expectLetGo(const UinputKeyboard& keyboard)
{
    EXPECT_EQ(grabError(keyboard.devnode()), 0);
    EXPECT_TRUE(testsupport::waitInputDeviceGone(kVirtualKeyboard, kLineWait));
}

TEST_F(KeywatchGuest, EndOfInputAndSigtermEndItWithStatusZeroAndLetTheKeyboardGo)
{
    for (int signal : {0, SIGTERM}) {
        SCOPED_TRACE(signal == 0 ? "end of input" : strsignal(signal));
        std::string error;
        auto run = GuestKeywatch::start({{"65"}, true, true}, &error);
        ASSERT_TRUE(run) << error;
        ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait));
        if (signal == 0) {
            run->child().closeStdin();
        } else {
            run->child().sendSignal(signal);
        }
        EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(0));
        EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
        EXPECT_EQ(run->stderrText(), "");
        expectLetGo(*keyboard_);
    }
}

// The exit status of an orphan this process has adopted as subreaper.
std::optional<int> adoptedExit(pid_t pid, milliseconds timeout)
{
    testsupport::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    pollfd exited{pidfd.get(), POLLIN, 0};
    if (!pidfd || ::poll(&exited, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return std::nullopt;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(KeywatchGuest, ItEndsWhenItsParentDies)
{
    // keywatch, orphaned, comes to this process, which can then read its status.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    testsupport::ChildOptions options;
    // The shell is keywatch's parent and holds no pipe of its own once killed;
    // without the redirections a background job would read /dev/null.
    options.argv = {"/bin/sh", "-c", "exec 3<&0; \"$0\" 65 0<&3 3<&- & echo $!; wait", KEYWATCH_PATH};
    options.removeEnv = {"DISPLAY"};
    std::string error;
    auto shell = testsupport::Child::spawn(options, &error);
    ASSERT_TRUE(shell) << error;
    pid_t keywatch = 0;
    bool started = false;
    for (const auto& line : shell->readLines(2, kLineWait)) {
        if (line == kActiveOk) {
            started = true;
        } else {
            keywatch = static_cast<pid_t>(std::stol(line));
        }
    }
    ASSERT_TRUE(started);
    ASSERT_GT(keywatch, 0);
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait));
    shell->sendSignal(SIGKILL);
    ASSERT_TRUE(shell->waitExit(5000ms));
    // The next heartbeat, within two seconds, finds the parent gone.
    EXPECT_EQ(adoptedExit(keywatch, 8000ms), std::optional<int>(0));
    expectLetGo(*keyboard_);
    const std::string rest = shell->readRemainingStdout(1000ms);
    for (size_t at = 0; at < rest.size();) {
        const size_t lf = rest.find('\n', at);
        EXPECT_TRUE(isHeartbeat(rest.substr(at, lf - at))) << rest;
        at = lf == std::string::npos ? rest.size() : lf + 1;
    }
    EXPECT_EQ(shell->readStderr(500ms), "");
}

TEST_F(KeywatchGuest, WithoutUinputItListensOnlyAndConsumesNothing)
{
    MovedAside uinput("/dev/uinput");
    ASSERT_TRUE(uinput.moved());
    startWithoutGrab({}, false);
    EXPECT_EQ(run_->okLine(), R"({"t":"ok","tap":2,"en":true,"im":0,"remap":-1})");
    EXPECT_EQ(testsupport::inputDeviceNode(kVirtualKeyboard), std::nullopt);
    std::string error;
    auto direct = InputReader::open(keyboard_->devnode(), &error);
    ASSERT_TRUE(direct) << error;
    tap(KEY_CAPSLOCK);
    expectLines({kCd});
    tap(KEY_RIGHTCTRL);
    expectLines({modifierDown(163), modifierUp(163)});
    tap(KEY_CAPSLOCK);
    expectLines({kCu});
    EXPECT_EQ(firstDifference({keyEvent(KEY_CAPSLOCK, 1), keyEvent(KEY_CAPSLOCK, 0), keyEvent(KEY_RIGHTCTRL, 1),
                               keyEvent(KEY_RIGHTCTRL, 0), keyEvent(KEY_CAPSLOCK, 1), keyEvent(KEY_CAPSLOCK, 0)},
                              direct->take(6, kLineWait)),
              "");
}

// Typed in one burst, each key is classified with the flags of its own
// moment, not with those of the keys that follow it.
TEST_F(KeywatchGuest, ShiftAroundCapsInOneBurstIsClassifiedKeyByKey)
{
    startKeywatch({});
    press(KEY_LEFTSHIFT);
    tap(KEY_CAPSLOCK);
    release(KEY_LEFTSHIFT);
    tap(KEY_CAPSLOCK);
    expectLines({kCd, kCsd, kCsu, kCu});
    // The Shift release is taken by push-to-talk, but its press had gone out.
    expectApplicationsGet({keyEvent(KEY_LEFTSHIFT, 1), keyEvent(KEY_LEFTSHIFT, 0)});
    expectNothingBeforeMarker();
}

TEST_F(KeywatchGuest, TheLightsSetOnTheVirtualKeyboardReachTheGrabbedOne)
{
    startKeywatch({});
    const auto node = testsupport::inputDeviceNode(kVirtualKeyboard);
    ASSERT_TRUE(node);
    const int fd = ::open(node->c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const input_event light[] = {{{}, EV_LED, LED_NUML, 1}, {{}, EV_SYN, SYN_REPORT, 0}};
    EXPECT_EQ(::write(fd, light, sizeof light), static_cast<ssize_t>(sizeof light));
    ::close(fd);
    bool seen = false;
    while (auto set = keyboard_->nextLight(static_cast<int>(kLineWait.count()))) {
        if (*set == std::make_pair(static_cast<unsigned>(LED_NUML), 1)) {
            seen = true;
            break;
        }
    }
    EXPECT_TRUE(seen);
}

// Five heartbeats after /dev/uinput appears, the listen-only tap gives way
// to the active one.
TEST_F(KeywatchGuest, AListenOnlyTapBecomesActiveOnceUinputAppears)
{
    {
        MovedAside uinput("/dev/uinput");
        ASSERT_TRUE(uinput.moved());
        startWithoutGrab({}, false);
        EXPECT_EQ(run_->okLine(), R"({"t":"ok","tap":2,"en":true,"im":0,"remap":-1})");
    }
    EXPECT_EQ(run_->event(15000ms), R"({"t":"upgraded","tap":0,"en":true})");
    EXPECT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait));
    tap(KEY_CAPSLOCK);
    expectLines({kCd});
}

TEST_F(KeywatchGuest, TheProbeSaysWhetherAnActiveTapIsPossible)
{
    auto probe = [] {
        std::string error;
        auto run = GuestKeywatch::start({{"--check-im"}, false, false}, &error);
        EXPECT_TRUE(run) << error;
        if (!run) {
            return std::string("(not started)");
        }
        std::string line = run->line().value_or("(no line)");
        EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(0));
        EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
        EXPECT_EQ(run->stderrText(), "");
        return line;
    };
    EXPECT_EQ(probe(), R"({"im":0})");
    MovedAside uinput("/dev/uinput");
    ASSERT_TRUE(uinput.moved());
    EXPECT_EQ(probe(), R"({"im":1})");
}

TEST(KeywatchGuestStart, WithoutAnyKeyboardEveryTapFailsAndItExitsWithOne)
{
    MovedAside devices("/dev/input");
    ASSERT_TRUE(devices.moved());
    std::string error;
    auto run = GuestKeywatch::start({{}, false, false}, &error);
    ASSERT_TRUE(run) << error;
    EXPECT_EQ(run->line(), R"({"t":"err","m":"all_taps_failed"})");
    EXPECT_EQ(run->child().waitExit(5000ms), std::optional<int>(1));
    EXPECT_EQ(run->child().readRemainingStdout(500ms), "");
    EXPECT_EQ(run->stderrText(), "");
}

}  // namespace
