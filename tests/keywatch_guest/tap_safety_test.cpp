// What the active tap owes the user of the keyboards it grabs: they never
// freeze, Caps Lock is never left on, each keyboard keeps its own face to
// the desktop, and keyboards that come and go are all taken.
#include "fake_login.h"
#include "input_devices.h"
#include "keywatch_guest_run.h"
#include "uinput_keyboard.h"

#include <gtest/gtest.h>

#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>

#include <cerrno>
#include <fstream>

namespace {

using namespace kwguest;
using testsupport::InputReader;
using testsupport::keyEvent;
using testsupport::tapEvents;
using testsupport::UinputKeyboard;
using testsupport::waitGrabError;

const std::string kMarkerLines[] = {R"({"t":"pd","v":163})", R"({"t":"pu","v":163})"};
const std::string kSecondName = "second test keyboard";
const std::string kSecondOutput = "second test keyboard (keywatch)";

// Whether `keyboard` has its lock light set to `on` before the lights stop coming.
bool capsLightBecomes(UinputKeyboard& keyboard, bool on)
{
    while (auto light = keyboard.nextLight(static_cast<int>(kLineWait.count()))) {
        if (light->first == LED_CAPSL && (light->second != 0) == on) {
            return true;
        }
    }
    return false;
}

class TapSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        keyboard_ = UinputKeyboard::create(kPhysicalKeyboard, &error);
        ASSERT_TRUE(keyboard_) << error;
        direct_ = InputReader::open(keyboard_->devnode(), &error);
        ASSERT_TRUE(direct_) << error;
    }

    void TearDown() override
    {
        if (run_) {
            EXPECT_EQ(run_->finish(), std::optional<int>(0));
            EXPECT_EQ(run_->stderrText(), "");
        }
    }

    void start(std::vector<std::string> args = {})
    {
        std::string error;
        run_ = GuestKeywatch::start({std::move(args), true, true}, &error);
        ASSERT_TRUE(run_) << error;
        ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard was not grabbed";
    }

    void expectLines(const std::vector<std::string>& lines)
    {
        for (const auto& expected : lines) {
            EXPECT_EQ(run_->event().value_or("(no line)"), expected);
        }
    }

    void expectApplicationsGet(const std::vector<testsupport::KeyEvent>& events)
    {
        EXPECT_EQ(firstDifference(events, run_->applications().take(events.size(), kLineWait)), "");
    }

    // The console's Caps Lock goes off, by a press and release that went
    // out on the virtual keyboard of one of the grabbed keyboards (the
    // guest's own included), and push-to-talk then works as ever.
    void expectLockOffThenAPushToTalkCycle()
    {
        EXPECT_TRUE(capsLightBecomes(*keyboard_, false)) << "Caps Lock stayed on";
        const auto came = run_->applications().drain();
        EXPECT_TRUE(came.empty() || came == tapEvents(KEY_CAPSLOCK)) << came.size() << " events";
        keyboard_->tap(KEY_CAPSLOCK);
        expectLines({kCd});
        keyboard_->tap(KEY_CAPSLOCK);
        expectLines({kCu});
        expectNothingBeforeMarker();
    }

    // Right Control passes and reports itself: whatever came before it on
    // either stream is all that the keys typed earlier produced.
    void expectNothingBeforeMarker()
    {
        keyboard_->tap(KEY_RIGHTCTRL);
        expectLines({kMarkerLines[0], kMarkerLines[1]});
        expectApplicationsGet(tapEvents(KEY_RIGHTCTRL));
    }

    std::optional<UinputKeyboard> keyboard_;
    std::optional<InputReader> direct_; // what the keyboard gives once nobody grabs it
    std::optional<GuestKeywatch> run_;
};

TEST_F(TapSafety, AStoppedKeywatchNeverFreezesTheKeyboardAndTakesItBackWhenItRuns)
{
    start();
    // Job control from a terminal does not stop it.
    for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        run_->child().sendSignal(signal);
    }
    keyboard_->tap(KEY_CAPSLOCK);
    expectLines({kCd});
    keyboard_->tap(KEY_CAPSLOCK);
    expectLines({kCu});
    keyboard_->press(KEY_LEFTSHIFT);
    expectApplicationsGet({keyEvent(KEY_LEFTSHIFT, 1)});

    run_->child().sendSignal(SIGSTOP);
    keyboard_->tap(KEY_B);
    // What waited goes out as it came; Shift, still held, is let go there.
    expectApplicationsGet({keyEvent(KEY_B, 1), keyEvent(KEY_B, 0), keyEvent(KEY_LEFTSHIFT, 0)});
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), 0, kGrabWait)) << "the keyboard is still grabbed";
    keyboard_->release(KEY_LEFTSHIFT);
    keyboard_->tap(KEY_CAPSLOCK);
    EXPECT_EQ(firstDifference({keyEvent(KEY_LEFTSHIFT, 0), keyEvent(KEY_CAPSLOCK, 1), keyEvent(KEY_CAPSLOCK, 0)},
                              direct_->take(3, kLineWait)),
              "");
    ASSERT_TRUE(capsLightBecomes(*keyboard_, true)) << "the console never saw Caps Lock";

    run_->child().sendSignal(SIGCONT);
    expectLines({R"({"t":"re","reason":-2,"reset":true})"});
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard was not taken back";
    // The Caps Lock that reached the console meanwhile is turned off again.
    expectLockOffThenAPushToTalkCycle();
    EXPECT_EQ(direct_->drain(), std::vector<testsupport::KeyEvent>{});
}

TEST_F(TapSafety, ACapsLockOnAtStartIsTurnedOffAndStaysOffAfterPushToTalk)
{
    keyboard_->tap(KEY_CAPSLOCK);
    ASSERT_TRUE(capsLightBecomes(*keyboard_, true));
    start();
    expectLockOffThenAPushToTalkCycle();
}

// The kernel's own view of a virtual keyboard, as the desktop reads it.
struct DeviceFace {
    std::string name;
    int bus = 0, vendor = 0, product = 0;
    bool hasA = false, hasDpad = false;
};

std::optional<DeviceFace> faceOf(const std::string& node)
{
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    libevdev* device = nullptr;
    if (fd < 0 || libevdev_new_from_fd(fd, &device) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    DeviceFace face{libevdev_get_name(device),
                    libevdev_get_id_bustype(device),
                    libevdev_get_id_vendor(device),
                    libevdev_get_id_product(device),
                    libevdev_has_event_code(device, EV_KEY, KEY_A) != 0,
                    libevdev_has_event_code(device, EV_KEY, BTN_DPAD_UP) != 0};
    libevdev_free(device);
    ::close(fd);
    return face;
}

TEST_F(TapSafety, EachKeyboardHasAVirtualKeyboardOfItsOwnAndASecondKeywatchOnlyListens)
{
    start();
    const auto face = faceOf(*testsupport::inputDeviceNode(kVirtualKeyboard));
    ASSERT_TRUE(face);
    EXPECT_EQ(face->name, kVirtualKeyboard);
    EXPECT_EQ(face->bus, BUS_USB);
    EXPECT_EQ(face->vendor, 0x1d6b);
    EXPECT_EQ(face->product, 0x0104);
    EXPECT_TRUE(face->hasA);
    EXPECT_FALSE(face->hasDpad);

    std::string error;
    auto second = UinputKeyboard::create(kSecondName, &error);
    ASSERT_TRUE(second) << error;
    ASSERT_TRUE(waitGrabError(second->devnode(), EBUSY, kGrabWait));
    auto secondOutput = InputReader::openByName(kSecondOutput, kLineWait, &error);
    ASSERT_TRUE(secondOutput) << error;
    // A key held on both keyboards stays down until both let it go.
    keyboard_->press(KEY_A);
    second->press(KEY_A);
    second->release(KEY_A);
    EXPECT_EQ(firstDifference({keyEvent(KEY_A, 1), keyEvent(KEY_A, 0)}, secondOutput->take(2, kLineWait)), "");
    keyboard_->release(KEY_A);
    expectApplicationsGet({keyEvent(KEY_A, 1), keyEvent(KEY_A, 0)});

    // A second keywatch finds every keyboard held: it says it only listens,
    // hears what the first passes, and takes nothing.
    auto other = GuestKeywatch::start({{}, true, false}, &error);
    ASSERT_TRUE(other) << error;
    EXPECT_EQ(other->okLine(), R"({"t":"ok","tap":2,"en":true,"im":0,"remap":-1})");
    expectNothingBeforeMarker();
    EXPECT_EQ(other->event(), kMarkerLines[0]);
    EXPECT_EQ(other->event(), kMarkerLines[1]);
    keyboard_->tap(KEY_CAPSLOCK);
    expectLines({kCd});
    keyboard_->tap(KEY_CAPSLOCK);
    expectLines({kCu});
    EXPECT_EQ(other->finish(), std::optional<int>(0));
    EXPECT_EQ(testsupport::grabError(*testsupport::inputDeviceNode(kVirtualKeyboard)), 0);
}

TEST_F(TapSafety, KeyboardsPluggedWhileItIsStoppedAreAllTakenThoughTheirChangesOverflowed)
{
    // So small a queue that the changes below overflow it.
    std::ofstream("/proc/sys/fs/inotify/max_queued_events") << 1;
    std::string error;
    run_ = GuestKeywatch::start({{}, true, true}, &error);
    ASSERT_TRUE(run_) << error;
    // Typed right after the ok line, a key reaches applications once:
    // straight from the keyboard if it is not grabbed yet, else through
    // keywatch.
    keyboard_->tap(KEY_B);
    EXPECT_EQ(firstDifference(tapEvents(KEY_B), takeFromEither(run_->applications(), *direct_, 2, kLineWait)), "");
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait));
    expectNothingBeforeMarker();
    EXPECT_EQ(direct_->drain(), std::vector<testsupport::KeyEvent>{});

    run_->child().sendSignal(SIGSTOP);
    const std::string node = keyboard_->devnode();
    direct_.reset();
    keyboard_.reset();
    keyboard_ = UinputKeyboard::create(kPhysicalKeyboard, &error);
    ASSERT_TRUE(keyboard_) << error;
    auto second = UinputKeyboard::create(kSecondName, &error);
    ASSERT_TRUE(second) << error;
    run_->child().sendSignal(SIGCONT);

    EXPECT_EQ(keyboard_->devnode(), node) << "plugged again on another node";
    EXPECT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard plugged again was not taken";
    EXPECT_TRUE(waitGrabError(second->devnode(), EBUSY, kGrabWait)) << "the new keyboard was not taken";
    ASSERT_TRUE(run_->watchOutput(kVirtualKeyboard, &error)) << error;
    expectNothingBeforeMarker();
}

// Outside its login session's turn it holds nothing and reads nothing, and
// a keyboard of another seat is never its business.
TEST_F(TapSafety, ItTakesOnlyItsOwnSeatsKeyboardsAndOnlyWhileItsSessionIsActive)
{
    std::string error;
    auto session = testsupport::FakeLogin::start("5", "seat0", testsupport::LoginPlace::Scope, &error);
    ASSERT_TRUE(session) << error;
    auto other = UinputKeyboard::create(kSecondName, &error);
    ASSERT_TRUE(other) << error;
    auto otherSeat = testsupport::UdevEntry::write(other->devnode(), "seat1", &error);
    ASSERT_TRUE(otherSeat) << error;
    start();
    EXPECT_EQ(testsupport::grabError(other->devnode()), 0);
    EXPECT_EQ(testsupport::inputDeviceNode(kSecondOutput), std::nullopt);

    ASSERT_TRUE(session->setActive(false, &error)) << error;
    EXPECT_TRUE(waitGrabError(keyboard_->devnode(), 0, kGrabWait)) << "the keyboard is still grabbed";
    EXPECT_TRUE(testsupport::waitInputDeviceGone(kVirtualKeyboard, kLineWait));
    keyboard_->tap(KEY_RIGHTCTRL);
    EXPECT_EQ(firstDifference(tapEvents(KEY_RIGHTCTRL), direct_->take(2, kLineWait)), "");

    ASSERT_TRUE(session->setActive(true, &error)) << error;
    ASSERT_TRUE(waitGrabError(keyboard_->devnode(), EBUSY, kGrabWait)) << "the keyboard was not taken back";
    ASSERT_TRUE(run_->watchOutput(kVirtualKeyboard, &error)) << error;
    // Neither the key typed in the other session's turn nor one of the
    // other seat was heard: the first line is the next key's.
    other->tap(KEY_RIGHTALT);
    keyboard_->tap(KEY_LEFTCTRL);
    expectLines({R"({"t":"pd","v":162})", R"({"t":"pu","v":162})"});
    expectApplicationsGet(tapEvents(KEY_LEFTCTRL));
    EXPECT_EQ(run_->finish(), std::optional<int>(0));
    EXPECT_EQ(run_->stderrText(), "");
    run_.reset();
}

}  // namespace
