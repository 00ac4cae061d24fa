// Keyboard events: creation, fields, flags, posting and the modifier state.
#include "sim_backend.h"

#include <CoreGraphics/CoreGraphics.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(Events, KeyboardEventCarriesTypeKeyCodeAndNoFlags)
{
    struct Case {
        CGKeyCode keyCode;
        bool down;
        CGEventType type;
    };
    for (const Case& c : {Case{49, true, kCGEventKeyDown}, Case{0, false, kCGEventKeyUp},
                          Case{0xFFFF, true, kCGEventKeyDown}}) {
        CGEventRef event = CGEventCreateKeyboardEvent(nullptr, c.keyCode, c.down);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(CGEventGetType(event), c.type);
        EXPECT_EQ(CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode), c.keyCode);
        EXPECT_EQ(CGEventGetFlags(event), 0u);
        CFRelease(event);
    }
}

TEST(Events, FlagsAndKeyCodeCanBeRewritten)
{
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 4, true);
    CGEventSetFlags(event, kCGEventFlagMaskAlphaShift | kCGEventFlagMaskShift);
    EXPECT_EQ(CGEventGetFlags(event), 0x30000u);
    CGEventSetIntegerValueField(event, kCGKeyboardEventKeycode, 38);
    EXPECT_EQ(CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode), 38);
    CFRelease(event);
}

TEST(Events, FlagMasksAndTypesHaveTheNativeValues)
{
    EXPECT_EQ(CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) | CGEventMaskBit(kCGEventFlagsChanged),
              0x1C00u);
    EXPECT_EQ(static_cast<int32_t>(kCGEventTapDisabledByTimeout), -2);
    EXPECT_EQ(static_cast<int32_t>(kCGEventTapDisabledByUserInput), -1);
    const CGEventFlags masks[] = {kCGEventFlagMaskAlphaShift, kCGEventFlagMaskShift,     kCGEventFlagMaskControl,
                                  kCGEventFlagMaskAlternate,  kCGEventFlagMaskCommand,   kCGEventFlagMaskNumericPad,
                                  kCGEventFlagMaskHelp,       kCGEventFlagMaskSecondaryFn};
    for (std::size_t i = 0; i < std::size(masks); ++i)
        EXPECT_EQ(masks[i], CGEventFlags{0x10000} << i);
}

TEST(Events, PostedEventsReachTheBackendFromAnyThread)
{
    auto keyboard = sim::Keyboard::install();
    keyboard->setLoopback(false);
    auto postKey = [](CGKeyCode keyCode) {
        CGEventRef down = CGEventCreateKeyboardEvent(nullptr, keyCode, true);
        CGEventPost(kCGHIDEventTap, down);
        CFRelease(down);
    };
    std::thread first([&] {
        for (CGKeyCode k = 0; k < 50; ++k)
            postKey(k);
    });
    std::thread second([&] {
        for (CGKeyCode k = 100; k < 150; ++k)
            postKey(k);
    });
    first.join();
    second.join();

    ASSERT_TRUE(keyboard->waitForPosted(100, 5s));
    const auto posted = keyboard->posted();
    EXPECT_EQ(posted.size(), 100u);
    EXPECT_EQ(posted.front().location, kCGHIDEventTap);
    EXPECT_EQ(posted.front().type, kCGEventKeyDown);
    EXPECT_TRUE(keyboard->deliveries().empty()); // no loopback asked for
}

TEST(Events, SourceFlagsStateIsTheSystemWideState)
{
    auto keyboard = sim::Keyboard::install();
    EXPECT_EQ(CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState), 0u);
    keyboard->setSystemFlags(kCGEventFlagMaskAlphaShift | kCGEventFlagMaskCommand);
    EXPECT_EQ(CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState), 0x110000u);
    EXPECT_EQ(CGEventSourceFlagsState(kCGEventSourceStateHIDSystemState), 0x110000u);

    CGEventSourceRef source = CGEventSourceCreate(kCGEventSourceStatePrivate);
    EXPECT_NE(source, nullptr);
    CFRelease(source);
}

} // namespace
