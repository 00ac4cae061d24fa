// Linux key events into the tap's key events, with the flags as of each.
#include "key_tracker.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <optional>
#include <vector>

namespace {

using evdev::KeyTracker;
using evdev::KeyWrite;

constexpr CGEventFlags kAlpha = 0x10000;
constexpr CGEventFlags kLeftShift = 0x02 | 0x20000;
constexpr CGEventFlags kRightOption = 0x40 | 0x80000;

struct Step {
    KeyWrite key;
    std::optional<CGEventType> type; // none: no event
    CGKeyCode keyCode = 0;
    CGEventFlags flags = 0;
};

void play(KeyTracker& tracker, const std::vector<Step>& steps)
{
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const Step& step = steps[i];
        const auto event = tracker.apply(step.key);
        ASSERT_EQ(event.has_value(), step.type.has_value());
        if (!event) {
            continue;
        }
        EXPECT_EQ(event->type, *step.type);
        EXPECT_EQ(event->keyCode, step.keyCode);
        EXPECT_EQ(event->flags, step.flags);
    }
}

TEST(KeyTracker, CapsLockTogglesAlphaShiftOnEachPressAndIsSilentOtherwise)
{
    KeyTracker tracker;
    play(tracker, {
                      {{KEY_CAPSLOCK, 1}, kCGEventFlagsChanged, 57, kAlpha},
                      {{KEY_CAPSLOCK, 2}, std::nullopt},
                      {{KEY_CAPSLOCK, 0}, std::nullopt},
                      {{KEY_A, 1}, kCGEventKeyDown, 0, kAlpha},
                      {{KEY_A, 0}, kCGEventKeyUp, 0, kAlpha},
                      {{KEY_CAPSLOCK, 1}, kCGEventFlagsChanged, 57, 0},
                      {{KEY_CAPSLOCK, 0}, std::nullopt},
                  });
}

TEST(KeyTracker, ModifiersChangeFlagsOnPressAndReleaseButNotOnRepeat)
{
    KeyTracker tracker;
    play(tracker, {
                      {{KEY_LEFTSHIFT, 1}, kCGEventFlagsChanged, 56, kLeftShift},
                      {{KEY_LEFTSHIFT, 2}, std::nullopt},
                      {{KEY_RIGHTALT, 1}, kCGEventFlagsChanged, 61, kLeftShift | kRightOption},
                      {{KEY_B, 2}, kCGEventKeyDown, 11, kLeftShift | kRightOption},
                      {{KEY_LEFTSHIFT, 0}, kCGEventFlagsChanged, 56, kRightOption},
                      {{KEY_RIGHTALT, 0}, kCGEventFlagsChanged, 61, 0},
                  });
}

TEST(KeyTracker, KeysWithoutAMacCodeMakeNoEvent)
{
    KeyTracker tracker;
    play(tracker, {{{KEY_BRIGHTNESSUP, 1}, std::nullopt}, {{KEY_MAX, 1}, std::nullopt}});
}

TEST(KeyTracker, StartsFromTheLockAndTheModifiersFoundHeld)
{
    KeyTracker tracker;
    tracker.setCapsLocked(true);
    tracker.noteHeld(KEY_LEFTSHIFT);
    tracker.noteHeld(KEY_A); // not a modifier: no flag
    EXPECT_EQ(tracker.flags(), kAlpha | kLeftShift);
    play(tracker, {{{KEY_CAPSLOCK, 1}, kCGEventFlagsChanged, 57, kLeftShift}});
}

} // namespace
