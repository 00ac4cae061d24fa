// Reference counting, constant strings and the clock.
#include "sim_backend.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <ctime>

namespace {

struct InfoCounts {
    int retained = 0;
    int released = 0;
};

const void* retainInfo(const void* info)
{
    ++static_cast<InfoCounts*>(const_cast<void*>(info))->retained;
    return info;
}

void releaseInfo(const void* info) { ++static_cast<InfoCounts*>(const_cast<void*>(info))->released; }

CFRunLoopTimerRef timerWith(InfoCounts& counts)
{
    CFRunLoopTimerContext context{0, &counts, retainInfo, releaseInfo, nullptr};
    return CFRunLoopTimerCreate(kCFAllocatorDefault, 0, 1.0, 0, 0, nullptr, &context);
}

TEST(Objects, LastReleaseFreesTheObjectAndNothingEarlier)
{
    InfoCounts counts;
    CFRunLoopTimerRef timer = timerWith(counts);
    EXPECT_EQ(counts.retained, 1);
    EXPECT_EQ(CFGetRetainCount(timer), 1);

    EXPECT_EQ(CFRetain(timer), timer);
    EXPECT_EQ(CFGetRetainCount(timer), 2);
    CFRelease(timer);
    EXPECT_EQ(CFGetRetainCount(timer), 1);
    EXPECT_EQ(counts.released, 0);

    CFRelease(timer);
    EXPECT_EQ(counts.released, 1);
}

TEST(Objects, RunLoopHoldsWhatIsAddedToItUntilRemoved)
{
    InfoCounts counts;
    CFRunLoopTimerRef timer = timerWith(counts);
    CFRunLoopRef loop = CFRunLoopGetCurrent();

    CFRunLoopAddTimer(loop, timer, kCFRunLoopCommonModes);
    EXPECT_EQ(CFGetRetainCount(timer), 2);
    CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode); // a second mode, still one hold
    EXPECT_EQ(CFGetRetainCount(timer), 2);

    CFRunLoopRemoveTimer(loop, timer, kCFRunLoopCommonModes);
    EXPECT_EQ(CFGetRetainCount(timer), 2);
    CFRunLoopRemoveTimer(loop, timer, kCFRunLoopDefaultMode);
    EXPECT_EQ(CFGetRetainCount(timer), 1);

    CFRelease(timer);
    EXPECT_EQ(counts.released, 1);
}

TEST(Objects, ReleasingNullIsHarmless)
{
    CFRelease(nullptr);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    EXPECT_EQ(CFGetRetainCount(nullptr), 0);
}

TEST(Objects, ConstantStringsOfTheSameTextAreOneObject)
{
    EXPECT_EQ(CFSTR("kCFRunLoopDefaultMode"), kCFRunLoopDefaultMode);
    EXPECT_EQ(CFSTR("kCFRunLoopCommonModes"), kCFRunLoopCommonModes);
    EXPECT_EQ(CFSTR("a-mode"), CFSTR("a-mode"));
    EXPECT_NE(CFSTR("a-mode"), CFSTR("another-mode"));
    EXPECT_NE(kCFRunLoopDefaultMode, kCFRunLoopCommonModes);
}

TEST(Clock, FollowsTheSimulatedClock)
{
    auto keyboard = sim::Keyboard::install();
    const CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    EXPECT_EQ(start, keyboard->now());
    keyboard->advance(2.5);
    EXPECT_DOUBLE_EQ(CFAbsoluteTimeGetCurrent(), start + 2.5);
    keyboard->advance(-1.0); // the clock never runs backwards
    EXPECT_DOUBLE_EQ(CFAbsoluteTimeGetCurrent(), start + 2.5);
}

TEST(Clock, RealClockCountsFrom2001)
{
    standin::installBackend(standin::makeNullBackend());
    const double unixNow = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(CFAbsoluteTimeGetCurrent(), unixNow - 978307200.0, 5.0);
}

} // namespace
