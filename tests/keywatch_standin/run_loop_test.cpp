// Run loops: descriptor sources, modes, results, stopping, one loop a thread.
#include "pump.h"
#include "run_loop.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A source over a pipe that counts how often it found the pipe readable.
struct CountingSource {
    CountingSource()
        : source(standin::createDescriptorSource(pipe.readEnd, [this] {
              while (pipe.take())
                  ++performed;
          }))
    {
    }
    ~CountingSource() { CFRelease(source); }
    pump::Pipe pipe;
    std::atomic<int> performed{0};
    CFRunLoopSourceRef source;
};

TEST(RunLoop, SourceRunsWhenItsDescriptorIsReadableAndRunInModeReturnsAfterIt)
{
    CountingSource counting;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, counting.source, kCFRunLoopCommonModes);

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
    EXPECT_EQ(counting.performed, 0);

    counting.pipe.put();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(counting.performed, 1);

    CFRunLoopRemoveSource(loop, counting.source, kCFRunLoopCommonModes);
    EXPECT_FALSE(CFRunLoopContainsSource(loop, counting.source, kCFRunLoopDefaultMode));
    counting.pipe.put();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunFinished);
    EXPECT_EQ(counting.performed, 1);
}

TEST(RunLoop, ModesDecideWhichSourcesRun)
{
    struct Case {
        const char* addedTo;
        const char* runIn;
        bool runs;
    };
    const Case cases[] = {
        {"kCFRunLoopCommonModes", "kCFRunLoopDefaultMode", true},
        {"kCFRunLoopDefaultMode", "kCFRunLoopDefaultMode", true},
        {"private-mode", "private-mode", true},
        {"private-mode", "kCFRunLoopDefaultMode", false},
        {"kCFRunLoopCommonModes", "private-mode", false},
        {"kCFRunLoopDefaultMode", "private-mode", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.addedTo) + " run in " + c.runIn);
        CountingSource counting;
        CountingSource keepModeBusy; // so a mode without the source is not empty
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, counting.source, __CFStringMakeConstantString(c.addedTo));
        CFRunLoopAddSource(loop, keepModeBusy.source, __CFStringMakeConstantString(c.runIn));
        counting.pipe.put();

        const CFRunLoopRunResult result = CFRunLoopRunInMode(__CFStringMakeConstantString(c.runIn), 0, true);

        EXPECT_EQ(result, c.runs ? kCFRunLoopRunHandledSource : kCFRunLoopRunTimedOut);
        EXPECT_EQ(counting.performed, c.runs ? 1 : 0);
        EXPECT_EQ(CFRunLoopContainsSource(loop, counting.source, __CFStringMakeConstantString(c.runIn)) != 0,
                  c.runs);
        CFRunLoopRemoveSource(loop, counting.source, __CFStringMakeConstantString(c.addedTo));
        CFRunLoopRemoveSource(loop, keepModeBusy.source, __CFStringMakeConstantString(c.runIn));
    }
}

TEST(RunLoop, ModeWithNothingInItFinishesAtOnce)
{
    EXPECT_EQ(CFRunLoopRunInMode(CFSTR("empty-mode"), 60.0, false), kCFRunLoopRunFinished);
}

TEST(RunLoop, InvalidatedSourceIsDroppedFromTheLoop)
{
    CountingSource counting;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, counting.source, kCFRunLoopCommonModes);
    CFRunLoopSourceInvalidate(counting.source);
    counting.pipe.put();

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunFinished);
    EXPECT_EQ(counting.performed, 0);
    EXPECT_FALSE(CFRunLoopContainsSource(loop, counting.source, kCFRunLoopCommonModes));
}

TEST(RunLoop, StopFromAnotherThreadEndsRun)
{
    CountingSource counting;
    std::atomic<CFRunLoopRef> runnerLoop{nullptr};
    auto finished = std::async(std::launch::async, [&] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, counting.source, kCFRunLoopCommonModes);
        runnerLoop = loop;
        CFRunLoopRun();
        CFRunLoopRemoveSource(loop, counting.source, kCFRunLoopCommonModes);
    });
    ASSERT_TRUE(pump::waitFor([&] { return runnerLoop.load() && CFRunLoopIsWaiting(runnerLoop.load()); }));

    // Sources still run on the loop's own thread while it waits.
    counting.pipe.put();
    ASSERT_TRUE(pump::waitFor([&] { return counting.performed.load() == 1; }));

    CFRunLoopStop(runnerLoop.load());
    EXPECT_EQ(finished.wait_for(5s), std::future_status::ready);
}

TEST(RunLoop, StopBeforeARunEndsThatRun)
{
    CountingSource counting;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, counting.source, kCFRunLoopCommonModes);
    CFRunLoopStop(loop);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60.0, false), kCFRunLoopRunStopped);
    // A stop ends one run only.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    CFRunLoopRemoveSource(loop, counting.source, kCFRunLoopCommonModes);
}

TEST(RunLoop, EachThreadHasItsOwnLoopAndTheMainOneIsShared)
{
    CFRunLoopRef here = CFRunLoopGetCurrent();
    EXPECT_EQ(CFRunLoopGetCurrent(), here);
    EXPECT_EQ(CFRunLoopGetMain(), here); // tests run on the main thread

    CFRunLoopRef there = nullptr;
    CFRunLoopRef mainSeenThere = nullptr;
    std::thread other([&] {
        there = CFRunLoopGetCurrent();
        mainSeenThere = CFRunLoopGetMain();
    });
    other.join();
    EXPECT_NE(there, nullptr);
    EXPECT_NE(there, here);
    EXPECT_EQ(mainSeenThere, here);
}

} // namespace
