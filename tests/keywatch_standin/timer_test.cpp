// Timers on the simulated clock: due times, repeating, one-shot, overdue,
// invalidation, and a loop on another thread driven by advancing time.
#include "pump.h"
#include "sim_backend.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

namespace {

using namespace std::chrono_literals;

void countFiring(CFRunLoopTimerRef, void* info) { ++*static_cast<std::atomic<int>*>(info); }

class Timers : public ::testing::Test {
protected:
    CFRunLoopTimerRef makeTimer(CFTimeInterval firstIn, CFTimeInterval interval,
                                CFRunLoopTimerCallBack callout = countFiring)
    {
        CFRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
        return CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + firstIn, interval, 0, 0,
                                    callout, &context);
    }

    std::shared_ptr<sim::Keyboard> keyboard = sim::Keyboard::install();
    std::atomic<int> fired{0};
};

TEST_F(Timers, RepeatingTimerFiresAtEachDueTimeOfTheClock)
{
    ASSERT_EQ(CFAbsoluteTimeGetCurrent(), keyboard->now());
    CFRunLoopTimerRef timer = makeTimer(2.0, 2.0);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(loop, timer, kCFRunLoopCommonModes);

    struct Step {
        CFTimeInterval advance;
        int firedAfter;
    };
    const Step steps[] = {{0.0, 0}, {1.9, 0}, {0.1, 1}, {0.5, 1}, {1.5, 2}, {2.0, 3}};
    for (const Step& step : steps) {
        keyboard->advance(step.advance);
        EXPECT_EQ(pump::once(), kCFRunLoopRunTimedOut);
        EXPECT_EQ(fired, step.firedAfter) << "at +" << keyboard->now();
    }

    CFRunLoopRemoveTimer(loop, timer, kCFRunLoopCommonModes);
    CFRelease(timer);
}

TEST_F(Timers, OverdueRepeatingTimerFiresOnceAndKeepsItsGrid)
{
    const CFAbsoluteTime start = keyboard->now();
    CFRunLoopTimerRef timer = makeTimer(2.0, 2.0);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);

    keyboard->advance(7.0); // due at +2, +4 and +6
    pump::once();

    EXPECT_EQ(fired, 1);
    EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(timer), start + 8.0);
    CFRunLoopRemoveTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    CFRelease(timer);
}

// An interval is elapsed time: setting the wall clock back or forward
// neither holds a repeating timer up nor makes it fire early.
TEST_F(Timers, ARepeatingTimerKeepsItsIntervalWhenTheWallClockSteps)
{
    for (const CFTimeInterval step : {-600.0, 600.0}) {
        SCOPED_TRACE("wall clock stepped by " + std::to_string(step) + " s");
        fired = 0;
        CFRunLoopTimerRef timer = makeTimer(2.0, 2.0);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
        keyboard->advance(1.0);
        keyboard->stepWallClock(step);
        pump::once();
        EXPECT_EQ(fired, 0);
        EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(timer), CFAbsoluteTimeGetCurrent() + 1.0);
        for (int firing = 1; firing <= 2; ++firing) {
            keyboard->advance(firing == 1 ? 1.0 : 2.0);
            pump::once();
            EXPECT_EQ(fired, firing);
        }
        CFRunLoopRemoveTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
        CFRelease(timer);
    }
}

TEST_F(Timers, OneShotTimerFiresOnceAndBecomesInvalid)
{
    CFRunLoopTimerRef timer = makeTimer(1.0, 0);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
    keyboard->advance(1.0);

    pump::once();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
    EXPECT_FALSE(CFRunLoopContainsTimer(loop, timer, kCFRunLoopDefaultMode));
    keyboard->advance(5.0);
    EXPECT_EQ(pump::once(), kCFRunLoopRunFinished);
    EXPECT_EQ(fired, 1);
    CFRelease(timer);
}

TEST_F(Timers, InvalidatedOrRemovedTimerNoLongerFires)
{
    CFRunLoopTimerRef invalidated = makeTimer(1.0, 1.0);
    CFRunLoopTimerRef removed = makeTimer(1.0, 1.0);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(loop, invalidated, kCFRunLoopCommonModes);
    CFRunLoopAddTimer(loop, removed, kCFRunLoopCommonModes);
    EXPECT_TRUE(CFRunLoopContainsTimer(loop, removed, kCFRunLoopDefaultMode));

    CFRunLoopTimerInvalidate(invalidated);
    CFRunLoopRemoveTimer(loop, removed, kCFRunLoopCommonModes);
    keyboard->advance(3.0);

    EXPECT_EQ(pump::once(), kCFRunLoopRunFinished);
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(CFRunLoopContainsTimer(loop, removed, kCFRunLoopDefaultMode));
    CFRelease(invalidated);
    CFRelease(removed);
}

void stopCurrentLoop(CFRunLoopTimerRef, void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }

TEST_F(Timers, AdvancingTheClockFiresTimersOnARunningLoopsOwnThread)
{
    std::atomic<CFRunLoopRef> runnerLoop{nullptr};
    CFRunLoopTimerRef counter = makeTimer(2.0, 2.0);
    CFRunLoopTimerRef stopper = makeTimer(100.0, 0, stopCurrentLoop);

    auto finished = std::async(std::launch::async, [&] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddTimer(loop, counter, kCFRunLoopCommonModes);
        CFRunLoopAddTimer(loop, stopper, kCFRunLoopCommonModes);
        runnerLoop = loop;
        CFRunLoopRun();
        CFRunLoopRemoveTimer(loop, counter, kCFRunLoopCommonModes);
    });
    ASSERT_TRUE(pump::waitFor([&] { return runnerLoop.load() && CFRunLoopIsWaiting(runnerLoop.load()); }));

    for (int tick = 1; tick <= 3; ++tick) {
        ASSERT_TRUE(keyboard->advanceAndWait(2.0, 5s));
        EXPECT_EQ(fired, tick);
    }
    // A timer that stops its own loop ends CFRunLoopRun.
    ASSERT_TRUE(keyboard->advanceAndWait(94.0, 5s));
    EXPECT_EQ(finished.wait_for(5s), std::future_status::ready);
    CFRelease(counter);
    CFRelease(stopper);
}

TEST_F(Timers, AdvanceAndWaitTimesOutWithoutARunningLoop)
{
    EXPECT_FALSE(keyboard->advanceAndWait(2.0, 50ms));
}

} // namespace
