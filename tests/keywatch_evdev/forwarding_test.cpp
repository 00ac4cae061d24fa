// The way to the virtual keyboard: order, the callback's verdicts, the
// time-out, and keys that must never stick.
#include "forward_queue.h"
#include "outcome_writes.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <vector>

namespace {

using namespace evdev;
using standin::Disposition;
using standin::EventOutcome;
using standin::TapEvent;
using Writes = std::vector<KeyWrite>;

const auto kLater = Clock::now() + std::chrono::hours(1);

class Forwarding : public ::testing::Test {
protected:
    Writes takeReady()
    {
        std::vector<RoutedWrite> routed;
        queue_.takeReady(keys_, routed);
        Writes out;
        for (const RoutedWrite& write : routed) {
            out.push_back(write.key);
        }
        return out;
    }

    bool settle(uint64_t id, const TapEvent& delivered, const EventOutcome& outcome)
    {
        return queue_.settle(id, [&](const Writes& original) { return writesForOutcome(original, delivered, outcome); });
    }

    ForwardQueue queue_;
    VirtualKeyState keys_;
};

const TapEvent kDownA{1, kCGEventKeyDown, 0, 0};
const EventOutcome kPassed{Disposition::passed, kCGEventKeyDown, 0, 0};
const EventOutcome kDeleted{Disposition::deleted, kCGEventKeyDown, 0, 0};

TEST_F(Forwarding, NothingOvertakesAnEventThatWaitsForTheCallback)
{
    queue_.pushWaiting(1, {{KEY_A, 1}}, 0, kLater);
    queue_.pushDecided({{KEY_B, 1}}, 0);
    EXPECT_EQ(takeReady(), Writes{});
    EXPECT_EQ(queue_.nextDeadline(), kLater);
    ASSERT_TRUE(settle(1, kDownA, kPassed));
    EXPECT_EQ(takeReady(), (Writes{{KEY_A, 1}, {KEY_B, 1}}));
    EXPECT_TRUE(queue_.empty());
    EXPECT_FALSE(queue_.nextDeadline());
}

TEST_F(Forwarding, ADeletedPressGoesNowhereAndItsReleaseIsDropped)
{
    queue_.pushWaiting(1, {{KEY_A, 1}}, 0, kLater);
    queue_.pushWaiting(2, {{KEY_A, 2}}, 0, kLater);
    queue_.pushWaiting(3, {{KEY_A, 0}}, 0, kLater);
    for (const uint64_t id : {1, 2, 3}) {
        ASSERT_TRUE(settle(id, {id, kCGEventKeyDown, 0, 0}, kDeleted));
    }
    queue_.pushDecided({{KEY_A, 0}, {KEY_A, 2}}, 0);
    EXPECT_EQ(takeReady(), Writes{});
}

TEST_F(Forwarding, AReleaseGoesOutEvenWhenDeletedIfItsPressWentOut)
{
    queue_.pushDecided({{KEY_LEFTSHIFT, 1}}, 0);
    queue_.pushWaiting(1, {{KEY_LEFTSHIFT, 0}}, 0, kLater);
    ASSERT_TRUE(settle(1, {1, kCGEventFlagsChanged, 56, 0}, kDeleted));
    EXPECT_EQ(takeReady(), (Writes{{KEY_LEFTSHIFT, 1}, {KEY_LEFTSHIFT, 0}}));
    EXPECT_FALSE(keys_.isDown(0, KEY_LEFTSHIFT));
}

TEST_F(Forwarding, ChangedFlagsKeepTheKeyAndAnotherKeyReplacesIt)
{
    queue_.pushWaiting(1, {{KEY_A, 2}}, 0, kLater);
    queue_.pushWaiting(2, {{KEY_C, 1}}, 0, kLater);
    keys_.admit({KEY_A, 1}, 0);
    ASSERT_TRUE(settle(1, {1, kCGEventKeyDown, 0, 0x10000}, {Disposition::changed, kCGEventKeyDown, 0, 0}));
    ASSERT_TRUE(settle(2, {2, kCGEventKeyDown, 8, 0}, {Disposition::changed, kCGEventKeyDown, 11, 0}));
    EXPECT_EQ(takeReady(), (Writes{{KEY_A, 2}, {KEY_B, 1}}));
}

TEST_F(Forwarding, ATimeOutLetsEverythingThroughAsItCameAndLateVerdictsAreIgnored)
{
    queue_.pushWaiting(1, {{KEY_A, 1}}, 0, kLater);
    queue_.pushWaiting(2, {{KEY_A, 0}}, 0, kLater);
    queue_.passAllWaiting();
    EXPECT_EQ(takeReady(), (Writes{{KEY_A, 1}, {KEY_A, 0}}));
    EXPECT_FALSE(settle(1, kDownA, kDeleted));
}

TEST_F(Forwarding, AVanishedKeyboardReleasesItsOwnKeysInTurn)
{
    queue_.pushDecided({{KEY_X, 1}}, 7);
    queue_.pushWaiting(1, {{KEY_A, 1}}, 0, kLater);
    queue_.pushWaiting(2, {{KEY_B, 1}}, 0, kLater);
    queue_.pushReleaseAll(0);
    ASSERT_TRUE(settle(1, kDownA, kPassed));
    ASSERT_TRUE(settle(2, {2, kCGEventKeyDown, 11, 0}, kPassed));
    EXPECT_EQ(takeReady(), (Writes{{KEY_X, 1}, {KEY_A, 1}, {KEY_B, 1}, {KEY_A, 0}, {KEY_B, 0}}));
    EXPECT_TRUE(keys_.isDown(7, KEY_X));
}

TEST(MacEventWrites, EachKindOfPostedEventBecomesItsKeys)
{
    struct Row {
        CGEventType type;
        CGKeyCode keyCode;
        CGEventFlags flags;
        Writes expected;
    };
    const Row rows[] = {
        {kCGEventKeyDown, 11, 0, {{KEY_B, 1}}},
        {kCGEventKeyUp, 49, 0, {{KEY_SPACE, 0}}},
        {kCGEventFlagsChanged, 57, 0, {{KEY_CAPSLOCK, 1}, {KEY_CAPSLOCK, 0}}},
        {kCGEventFlagsChanged, 61, 0x40, {{KEY_RIGHTALT, 1}}},
        {kCGEventFlagsChanged, 61, 0x20, {{KEY_RIGHTALT, 0}}},
        {kCGEventFlagsChanged, 0, 0, {}},
        {kCGEventKeyDown, 0x7F, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.keyCode);
        EXPECT_EQ(writesForMacEvent(row.type, row.keyCode, row.flags), row.expected);
    }
}

} // namespace
