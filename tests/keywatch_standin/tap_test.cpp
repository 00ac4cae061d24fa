// Event taps through the simulated keyboard: which kinds exist, outcomes of
// the callback, disabled notifications, validity, teardown in the callback,
// and posted events coming back through the tap.
#include "pump.h"
#include "sim_backend.h"

#include <CoreGraphics/CoreGraphics.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;
using standin::Disposition;

constexpr CGEventMask kKeys =
    CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) | CGEventMaskBit(kCGEventFlagsChanged);

struct Call {
    CGEventType type;
    int64_t keyCode;
    CGEventFlags flags;
    bool enabled;
};

// What the callback saw, and what it does with each event.
struct Recorder {
    CFMachPortRef port = nullptr;
    std::vector<Call> calls;
    std::function<CGEventRef(CGEventType, CGEventRef)> react = [](CGEventType, CGEventRef e) { return e; };
};

CGEventRef recordingCallback(CGEventTapProxy, CGEventType type, CGEventRef event, void* info)
{
    auto* recorder = static_cast<Recorder*>(info);
    recorder->calls.push_back({type, CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode),
                               CGEventGetFlags(event), recorder->port && CGEventTapIsEnabled(recorder->port)});
    return recorder->react(type, event);
}

// A tap in the current loop, torn down as keywatch tears its tap down.
struct Tap {
    Tap(Recorder& recorder, CGEventTapLocation location, CGEventTapOptions options, CGEventMask mask = kKeys)
    {
        port = CGEventTapCreate(location, kCGHeadInsertEventTap, options, mask, recordingCallback, &recorder);
        recorder.port = port;
        if (!port)
            return;
        source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
        if (source)
            CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
        CGEventTapEnable(port, true);
    }
    ~Tap() { tearDown(); }
    void tearDown()
    {
        if (source) {
            CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
            CFRelease(std::exchange(source, nullptr));
        }
        if (port) {
            CGEventTapEnable(port, false);
            CFMachPortInvalidate(port);
            CFRelease(std::exchange(port, nullptr));
        }
    }
    CFMachPortRef port = nullptr;
    CFRunLoopSourceRef source = nullptr;
};

class Taps : public ::testing::Test {
protected:
    // Runs the loop until `count` events have been settled.
    bool settle(std::size_t count)
    {
        return pump::until([&] { return keyboard->deliveries().size() >= count; });
    }

    std::shared_ptr<sim::Keyboard> keyboard = sim::Keyboard::install();
    Recorder recorder;
};

TEST_F(Taps, OnlyTheKindsTheBackendAllowsAreCreated)
{
    struct Kind {
        CGEventTapLocation location;
        CGEventTapOptions options;
        sim::TapKind kind;
    };
    const Kind kinds[] = {{kCGHIDEventTap, kCGEventTapOptionDefault, sim::TapKind::hid},
                          {kCGSessionEventTap, kCGEventTapOptionDefault, sim::TapKind::session},
                          {kCGSessionEventTap, kCGEventTapOptionListenOnly, sim::TapKind::listenOnly}};
    for (int allowedMask = 0; allowedMask < 8; ++allowedMask) {
        auto board = sim::Keyboard::install();
        for (int k = 0; k < 3; ++k)
            board->allowTap(kinds[k].kind, (allowedMask >> k) & 1);
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE("allowed " + std::to_string(allowedMask) + " kind " + std::to_string(k));
            Recorder each;
            Tap tap(each, kinds[k].location, kinds[k].options);
            const bool allowed = (allowedMask >> k) & 1;
            EXPECT_EQ(tap.port != nullptr, allowed);
            if (allowed) {
                EXPECT_EQ(board->tapKind(), kinds[k].kind);
                EXPECT_TRUE(CFMachPortIsValid(tap.port));
                EXPECT_TRUE(CGEventTapIsEnabled(tap.port));
            }
        }
        EXPECT_EQ(board->tapRequests().size(), 3u);
        EXPECT_EQ(board->liveTaps(), 0);
    }
}

TEST_F(Taps, NoCallbackNoTap)
{
    EXPECT_EQ(CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, kKeys, nullptr,
                               nullptr),
              nullptr);
}

TEST_F(Taps, SourceCreationCanFail)
{
    keyboard->failRunLoopSource(true);
    CFMachPortRef port = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, kKeys,
                                          recordingCallback, &recorder);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0), nullptr);
    CFMachPortInvalidate(port);
    CFRelease(port);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(Taps, CallbackSeesTypeKeyCodeAndFlags)
{
    Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
    keyboard->keyDown(0, kCGEventFlagMaskShift);
    keyboard->keyUp(0);
    keyboard->flagsChanged(57, kCGEventFlagMaskAlphaShift);
    ASSERT_TRUE(settle(3));

    ASSERT_EQ(recorder.calls.size(), 3u);
    EXPECT_EQ(recorder.calls[0].type, kCGEventKeyDown);
    EXPECT_EQ(recorder.calls[0].keyCode, 0);
    EXPECT_EQ(recorder.calls[0].flags, kCGEventFlagMaskShift);
    EXPECT_EQ(recorder.calls[1].type, kCGEventKeyUp);
    EXPECT_EQ(recorder.calls[2].type, kCGEventFlagsChanged);
    EXPECT_EQ(recorder.calls[2].keyCode, 57);
    EXPECT_EQ(recorder.calls[2].flags, kCGEventFlagMaskAlphaShift);
}

TEST_F(Taps, ReturnedEventDecidesTheOutcomeOnActiveTapsOnly)
{
    enum class Reaction { same, null, clearAlphaShift, otherEvent };
    struct Case {
        CGEventTapOptions options;
        Reaction reaction;
        Disposition disposition;
        CGKeyCode keyCode;
        CGEventFlags flags;
    };
    const CGEventFlags caps = kCGEventFlagMaskAlphaShift | kCGEventFlagMaskShift;
    const Case cases[] = {
        {kCGEventTapOptionDefault, Reaction::same, Disposition::passed, 4, caps},
        {kCGEventTapOptionDefault, Reaction::null, Disposition::deleted, 4, caps},
        {kCGEventTapOptionDefault, Reaction::clearAlphaShift, Disposition::changed, 4, kCGEventFlagMaskShift},
        {kCGEventTapOptionDefault, Reaction::otherEvent, Disposition::changed, 38, 0},
        {kCGEventTapOptionListenOnly, Reaction::same, Disposition::passed, 4, caps},
        {kCGEventTapOptionListenOnly, Reaction::null, Disposition::passed, 4, caps},
        {kCGEventTapOptionListenOnly, Reaction::clearAlphaShift, Disposition::passed, 4, caps},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("options " + std::to_string(c.options) + " reaction " + std::to_string(int(c.reaction)));
        auto board = sim::Keyboard::install();
        Recorder each;
        each.react = [&](CGEventType, CGEventRef event) -> CGEventRef {
            switch (c.reaction) {
            case Reaction::same:
                return event;
            case Reaction::null:
                return nullptr;
            case Reaction::clearAlphaShift:
                CGEventSetFlags(event, CGEventGetFlags(event) & ~CGEventFlags{kCGEventFlagMaskAlphaShift});
                return event;
            case Reaction::otherEvent:
                return CGEventCreateKeyboardEvent(nullptr, 38, true);
            }
            return event;
        };
        Tap tap(each, kCGSessionEventTap, c.options);
        board->keyDown(4, caps);
        ASSERT_TRUE(pump::until([&] { return board->deliveries().size() == 1; }));

        const sim::Delivery delivery = board->deliveries().front();
        EXPECT_TRUE(delivery.reachedTap);
        EXPECT_EQ(delivery.outcome.disposition, c.disposition);
        if (c.disposition != Disposition::deleted) {
            EXPECT_EQ(delivery.outcome.keyCode, c.keyCode);
            EXPECT_EQ(delivery.outcome.flags, c.flags);
        }
    }
}

TEST_F(Taps, EventsOutsideTheMaskPassWithoutTheCallback)
{
    Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault, CGEventMaskBit(kCGEventKeyDown));
    keyboard->keyUp(3);
    keyboard->flagsChanged(56, kCGEventFlagMaskShift);
    keyboard->keyDown(3);
    ASSERT_TRUE(settle(3));

    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].type, kCGEventKeyDown);
    for (const auto& delivery : keyboard->deliveries())
        EXPECT_EQ(delivery.outcome.disposition, Disposition::passed);
}

TEST_F(Taps, DisabledTapGetsTheNotificationAndCanBeEnabledAgain)
{
    for (CGEventType reason : {kCGEventTapDisabledByTimeout, kCGEventTapDisabledByUserInput}) {
        for (bool reenableFails : {false, true}) {
            SCOPED_TRACE(std::to_string(int32_t(reason)) + (reenableFails ? " re-enable fails" : ""));
            auto board = sim::Keyboard::install();
            Recorder each;
            each.react = [&](CGEventType type, CGEventRef event) {
                if (type == reason)
                    CGEventTapEnable(each.port, true);
                return event;
            };
            Tap tap(each, kCGHIDEventTap, kCGEventTapOptionDefault);
            board->failReenable(reenableFails);

            ASSERT_TRUE(board->disableTap(reason));
            EXPECT_FALSE(CGEventTapIsEnabled(tap.port));
            ASSERT_TRUE(pump::until([&] { return !each.calls.empty(); }));

            ASSERT_EQ(each.calls.size(), 1u);
            EXPECT_EQ(each.calls[0].type, reason);
            EXPECT_FALSE(each.calls[0].enabled); // already disabled when told
            EXPECT_EQ(CGEventTapIsEnabled(tap.port), !reenableFails);
            EXPECT_TRUE(CFMachPortIsValid(tap.port));
        }
    }
}

TEST_F(Taps, EventsPassUntouchedWhileTheTapIsDisabled)
{
    Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
    CGEventTapEnable(tap.port, false);
    keyboard->keyDown(5);
    ASSERT_TRUE(settle(1));
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_FALSE(keyboard->deliveries()[0].reachedTap);
    EXPECT_EQ(keyboard->deliveries()[0].outcome.disposition, Disposition::passed);
}

TEST_F(Taps, BackendCanInvalidateThePort)
{
    Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
    ASSERT_TRUE(keyboard->invalidateTap());

    EXPECT_FALSE(CFMachPortIsValid(tap.port));
    EXPECT_FALSE(CGEventTapIsEnabled(tap.port));
    EXPECT_EQ(pump::once(), kCFRunLoopRunFinished); // the loop dropped the dead source
    EXPECT_FALSE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), tap.source, kCFRunLoopCommonModes));
}

TEST_F(Taps, InvalidateOrLastReleaseEndsTheBackendTap)
{
    {
        Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
        EXPECT_EQ(keyboard->liveTaps(), 1);
        CFMachPortInvalidate(tap.port);
        EXPECT_EQ(keyboard->liveTaps(), 0);
        EXPECT_FALSE(CFMachPortIsValid(tap.port));
        CGEventTapEnable(tap.port, true);
        EXPECT_FALSE(CGEventTapIsEnabled(tap.port));
    }
    CFMachPortRef port = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, kKeys,
                                          recordingCallback, &recorder);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    CFRelease(port);
    EXPECT_EQ(keyboard->liveTaps(), 1); // the source still holds the port
    CFRelease(source);
    EXPECT_EQ(keyboard->liveTaps(), 0);
}

TEST_F(Taps, CallbackMayReplaceItsOwnTap)
{
    std::unique_ptr<Tap> current;
    Recorder replacement;
    recorder.react = [&](CGEventType, CGEventRef event) {
        current->tearDown(); // as a re-creation from inside the callback does
        current = std::make_unique<Tap>(replacement, kCGHIDEventTap, kCGEventTapOptionDefault);
        return event;
    };
    current = std::make_unique<Tap>(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
    keyboard->keyDown(1);
    keyboard->keyDown(2); // queued in the old tap behind the first
    ASSERT_TRUE(settle(2));

    EXPECT_EQ(recorder.calls.size(), 1u);
    EXPECT_TRUE(replacement.calls.empty());
    EXPECT_EQ(keyboard->deliveries()[1].outcome.disposition, Disposition::passed);
    EXPECT_EQ(keyboard->liveTaps(), 1);

    keyboard->keyDown(3);
    ASSERT_TRUE(settle(3));
    ASSERT_EQ(replacement.calls.size(), 1u);
    EXPECT_EQ(replacement.calls[0].keyCode, 3);
}

TEST_F(Taps, PostedEventsComeBackThroughTheTap)
{
    int injected = 0;
    recorder.react = [&](CGEventType type, CGEventRef event) -> CGEventRef {
        // The way a direct map answers a key: post another one, delete this.
        if (type == kCGEventKeyDown && CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode) == 0 &&
            injected++ == 0) {
            CGEventRef other = CGEventCreateKeyboardEvent(nullptr, 11, true);
            CGEventPost(kCGHIDEventTap, other);
            CFRelease(other);
            return nullptr;
        }
        return event;
    };
    Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
    keyboard->keyDown(0);
    ASSERT_TRUE(settle(2));

    const auto deliveries = keyboard->deliveries();
    EXPECT_FALSE(deliveries[0].injected);
    EXPECT_EQ(deliveries[0].outcome.disposition, Disposition::deleted);
    EXPECT_TRUE(deliveries[1].injected);
    EXPECT_EQ(deliveries[1].event.keyCode, 11);
    EXPECT_EQ(deliveries[1].outcome.disposition, Disposition::passed);
    ASSERT_EQ(keyboard->posted().size(), 1u);
    EXPECT_EQ(keyboard->posted()[0].keyCode, 11);
}

TEST_F(Taps, EventsPostedFromAnotherThreadReachATapRunningOnItsOwnThread)
{
    std::atomic<CFRunLoopRef> runnerLoop{nullptr};
    auto finished = std::async(std::launch::async, [&] {
        Tap tap(recorder, kCGHIDEventTap, kCGEventTapOptionDefault);
        runnerLoop = CFRunLoopGetCurrent();
        CFRunLoopRun();
    });
    ASSERT_TRUE(pump::waitFor([&] { return runnerLoop.load() && CFRunLoopIsWaiting(runnerLoop.load()); }));

    constexpr CGKeyCode kPresses = 40;
    for (CGKeyCode key = 0; key < kPresses; ++key) {
        CGEventRef down = CGEventCreateKeyboardEvent(nullptr, key, true);
        CGEventPost(kCGHIDEventTap, down);
        CFRelease(down);
    }
    EXPECT_TRUE(keyboard->waitForDeliveries(kPresses, 5s));
    CFRunLoopStop(runnerLoop.load());
    ASSERT_EQ(finished.wait_for(5s), std::future_status::ready);

    ASSERT_EQ(recorder.calls.size(), kPresses);
    for (CGKeyCode key = 0; key < kPresses; ++key)
        EXPECT_EQ(recorder.calls[key].keyCode, key);
}

TEST_F(Taps, WithoutATapEventsFlowOnUntouched)
{
    keyboard->keyDown(7);
    const auto deliveries = keyboard->deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_FALSE(deliveries[0].tapKind.has_value());
    EXPECT_FALSE(deliveries[0].reachedTap);
    EXPECT_FALSE(keyboard->disableTap(kCGEventTapDisabledByTimeout));
    EXPECT_FALSE(keyboard->invalidateTap());
}

} // namespace
