// The X11 backend on a private Xvfb: what its listen-only tap delivers for
// XTEST key presses, what it posts, the system-wide flags, listen access,
// and the tap's fate when the display goes away.
#include "private_xvfb.h"
#include "x11_backend.h"
#include "xtest_keyboard.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using testsupport::PrivateXvfb;
using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 5000ms;

bool readableWithin(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Events until `count` have come or the timeout has passed, each settled
// as the stand-in settles it.
std::vector<standin::TapEvent> collect(standin::BackendTap& tap, size_t count,
                                       std::chrono::milliseconds timeout = kWait)
{
    std::vector<standin::TapEvent> events;
    const auto deadline = Clock::now() + timeout;
    while (events.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms || !readableWithin(tap.eventFd(), left)) {
            break;
        }
        for (const auto& event : tap.takePending()) {
            tap.settle(event, {standin::Disposition::passed, event.type, event.keyCode, event.flags});
            events.push_back(event);
        }
    }
    return events;
}

struct Expected {
    CGEventType type;
    CGKeyCode keyCode;
    CGEventFlags flags;
};

void expectEvents(const std::vector<standin::TapEvent>& events, const std::vector<Expected>& expected)
{
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(events[i].type, expected[i].type);
        EXPECT_EQ(events[i].keyCode, expected[i].keyCode);
        EXPECT_EQ(events[i].flags, expected[i].flags);
    }
}

const standin::TapRequest kListenOnly{kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionListenOnly, 0x1C00};

class X11BackendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        display_ = PrivateXvfb::start(&error);
        ASSERT_TRUE(display_) << error;
        ::setenv("DISPLAY", display_->name().c_str(), 1);
        keyboard_ = XtestKeyboard::connect(display_->name());
        ASSERT_TRUE(keyboard_);
        backend_ = x11::makeX11Backend();
    }

    void TearDown() override
    {
        // A server whose memory was corrupted aborts instead of ending cleanly.
        keyboard_.reset();
        backend_.reset();
        if (display_) {
            EXPECT_EQ(display_->stop(), std::optional<int>(0));
        }
    }

    std::unique_ptr<standin::BackendTap> listenOnlyTap()
    {
        auto tap = backend_->createTap(kListenOnly);
        if (tap) {
            tap->setEnabled(true);
            // The first poll reads whatever arrived while recording began.
            tap->takePending();
        }
        return tap;
    }

    std::optional<PrivateXvfb> display_;
    std::optional<XtestKeyboard> keyboard_;
    std::unique_ptr<standin::Backend> backend_;
};

TEST_F(X11BackendTest, OnlyTheListenOnlyKindCanBeCreated)
{
    EXPECT_EQ(backend_->createTap({kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, 0x1C00}), nullptr);
    EXPECT_EQ(backend_->createTap({kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, 0x1C00}),
              nullptr);
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    EXPECT_TRUE(tap->isValid());
    EXPECT_TRUE(tap->isEnabled());
    EXPECT_GE(tap->eventFd(), 0);
    EXPECT_TRUE(backend_->providesListenAccess());
    EXPECT_TRUE(backend_->listenAccessGranted());
    EXPECT_FALSE(backend_->providesSecureInput());
}

TEST_F(X11BackendTest, TypedKeysArriveWithMacKeyCodesAndFlags)
{
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_->press(xkey::kLeftShift);
    keyboard_->tap(xkey::kA);
    keyboard_->release(xkey::kLeftShift);
    keyboard_->press(xkey::kRightSuper);
    keyboard_->tap(xkey::kF18);
    keyboard_->release(xkey::kRightSuper);
    keyboard_->tap(xkey::kCapsLock);
    keyboard_->tap(xkey::kSpace);
    keyboard_->tap(xkey::kCapsLock);
    keyboard_->tap(xkey::kReturn);
    ASSERT_TRUE(keyboard_->sync());
    expectEvents(collect(*tap, 14), {
                                        {kCGEventFlagsChanged, 56, 0x20002},
                                        {kCGEventKeyDown, 0, 0x20002},
                                        {kCGEventKeyUp, 0, 0x20002},
                                        {kCGEventFlagsChanged, 56, 0},
                                        {kCGEventFlagsChanged, 54, 0x100010},
                                        {kCGEventKeyDown, 79, 0x100010},
                                        {kCGEventKeyUp, 79, 0x100010},
                                        {kCGEventFlagsChanged, 54, 0},
                                        {kCGEventFlagsChanged, 57, 0x10000},
                                        {kCGEventKeyDown, 49, 0x10000},
                                        {kCGEventKeyUp, 49, 0x10000},
                                        {kCGEventFlagsChanged, 57, 0},
                                        {kCGEventKeyDown, 36, 0},
                                        {kCGEventKeyUp, 36, 0},
                                    });
}

TEST_F(X11BackendTest, PostedKeysComeBackThroughTheTap)
{
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    backend_->post({kCGHIDEventTap, kCGEventFlagsChanged, 61, 0x80040});
    backend_->post({kCGHIDEventTap, kCGEventKeyDown, 11, 0});
    backend_->post({kCGHIDEventTap, kCGEventKeyUp, 11, 0});
    backend_->post({kCGHIDEventTap, kCGEventFlagsChanged, 61, 0});
    backend_->post({kCGHIDEventTap, kCGEventKeyDown, 0x34, 0});  // no such key: nothing
    expectEvents(collect(*tap, 4), {
                                       {kCGEventFlagsChanged, 61, 0x80040},
                                       {kCGEventKeyDown, 11, 0x80040},
                                       {kCGEventKeyUp, 11, 0x80040},
                                       {kCGEventFlagsChanged, 61, 0},
                                   });
    EXPECT_TRUE(collect(*tap, 1, 200ms).empty());
}

TEST_F(X11BackendTest, SystemFlagsFollowTheKeysDownAndTheLock)
{
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
    keyboard_->press(xkey::kRightShift);
    keyboard_->press(xkey::kLeftControl);
    ASSERT_TRUE(keyboard_->sync());
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0x60005u);
    keyboard_->release(xkey::kRightShift);
    keyboard_->release(xkey::kLeftControl);
    keyboard_->tap(xkey::kCapsLock);
    ASSERT_TRUE(keyboard_->sync());
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0x10000u);
}

// The server unlocks Caps Lock on the release after the second press; while
// that key is still down, the state the press leads to is already "off".
TEST_F(X11BackendTest, SystemFlagsGiveTheLockStateThatTheCapsPressLeadsTo)
{
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_->tap(xkey::kCapsLock);
    keyboard_->press(xkey::kCapsLock);
    ASSERT_TRUE(keyboard_->sync());
    ASSERT_EQ(collect(*tap, 2).size(), 2u);
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
    EXPECT_EQ(keyboard_->capsLocked(), std::optional<bool>(true));
    keyboard_->release(xkey::kCapsLock);
    ASSERT_TRUE(keyboard_->sync());
    EXPECT_EQ(keyboard_->capsLocked(), std::optional<bool>(false));
}

// The server has applied a release before the tap hands it on; until it is
// handled, the modifier still counts as down.
TEST_F(X11BackendTest, SystemFlagsAreThoseOfTheLastEventHandled)
{
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_->press(xkey::kLeftAlt);
    ASSERT_EQ(collect(*tap, 1).size(), 1u);
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0x80020u);
    keyboard_->release(xkey::kLeftAlt);
    ASSERT_TRUE(keyboard_->sync());
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0x80020u);
    ASSERT_EQ(collect(*tap, 1).size(), 1u);
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
}

TEST_F(X11BackendTest, ATapStartsFromTheLockStateItFinds)
{
    keyboard_->tap(xkey::kCapsLock);
    ASSERT_TRUE(keyboard_->sync());
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_->tap(xkey::kA);
    keyboard_->tap(xkey::kCapsLock);
    ASSERT_TRUE(keyboard_->sync());
    expectEvents(collect(*tap, 3), {
                                       {kCGEventKeyDown, 0, 0x10000},
                                       {kCGEventKeyUp, 0, 0x10000},
                                       {kCGEventFlagsChanged, 57, 0},
                                   });
}

TEST_F(X11BackendTest, ALostDisplayInvalidatesTheTapAndStopsWakingItsPoller)
{
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_.reset();
    ASSERT_EQ(display_->stop(), std::optional<int>(0));
    ASSERT_TRUE(readableWithin(tap->eventFd(), kWait));
    EXPECT_TRUE(tap->takePending().empty());
    EXPECT_FALSE(tap->isValid());
    EXPECT_FALSE(readableWithin(tap->eventFd(), 0ms));
    EXPECT_EQ(backend_->createTap(kListenOnly), nullptr);
    EXPECT_FALSE(backend_->listenAccessGranted());
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
    backend_->post({kCGHIDEventTap, kCGEventKeyDown, 0, 0});  // goes nowhere, quietly
}

TEST_F(X11BackendTest, ANewDisplayOnTheSameNumberServesANewTap)
{
    const int number = display_->number();
    auto old = listenOnlyTap();
    ASSERT_TRUE(old);
    keyboard_.reset();
    ASSERT_EQ(display_->stop(), std::optional<int>(0));
    ASSERT_TRUE(readableWithin(old->eventFd(), kWait));
    old->takePending();
    ASSERT_FALSE(old->isValid());
    std::string error;
    display_ = PrivateXvfb::start(&error, {number, {}});
    ASSERT_TRUE(display_) << error;
    keyboard_ = XtestKeyboard::connect(display_->name());
    ASSERT_TRUE(keyboard_);
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    backend_->post({kCGHIDEventTap, kCGEventKeyDown, 49, 0});
    backend_->post({kCGHIDEventTap, kCGEventKeyUp, 49, 0});
    expectEvents(collect(*tap, 2), {{kCGEventKeyDown, 49, 0}, {kCGEventKeyUp, 49, 0}});
}

// Nothing the backend asks of a stopped server may wait without a bound: it
// counts as a display that is not there until the server goes on.
TEST_F(X11BackendTest, AStoppedServerIsTreatedAsAbsentUntilItGoesOn)
{
    display_->pause();
    EXPECT_EQ(backend_->createTap(kListenOnly), nullptr);
    EXPECT_FALSE(backend_->listenAccessGranted());
    EXPECT_EQ(backend_->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
    backend_->post({kCGHIDEventTap, kCGEventKeyDown, 49, 0});  // goes nowhere, quietly
    backend_->post({kCGHIDEventTap, kCGEventKeyUp, 49, 0});
    display_->resume();
    ASSERT_TRUE(keyboard_->sync());
    auto tap = listenOnlyTap();
    ASSERT_TRUE(tap);
    keyboard_->tap(xkey::kSpace);
    expectEvents(collect(*tap, 2), {{kCGEventKeyDown, 49, 0}, {kCGEventKeyUp, 49, 0}});
}

TEST(X11BackendWithoutRecord, RefusesTheTapAndListenAccess)
{
    std::string error;
    auto display = PrivateXvfb::start(&error, {std::nullopt, {"-extension", "RECORD"}});
    ASSERT_TRUE(display) << error;
    ::setenv("DISPLAY", display->name().c_str(), 1);
    auto backend = x11::makeX11Backend();
    EXPECT_EQ(backend->createTap(kListenOnly), nullptr);
    EXPECT_TRUE(backend->providesListenAccess());
    EXPECT_FALSE(backend->listenAccessGranted());
}

TEST(X11BackendWithoutDisplay, MakesNoTapAndReportsNoFlags)
{
    ::setenv("DISPLAY", ":32767", 1);
    auto backend = x11::makeX11Backend();
    EXPECT_EQ(backend->createTap(kListenOnly), nullptr);
    EXPECT_FALSE(backend->listenAccessGranted());
    EXPECT_EQ(backend->flagsState(kCGEventSourceStateCombinedSessionState), 0u);
}

}  // namespace
