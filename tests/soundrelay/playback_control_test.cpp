// The cancellable pause of fixture playback and its serial worker.
#include "playback_control.h"
#include "serial_worker.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(PlaybackControl, CancelEndsAPauseEarly)
{
    recorder::PlaybackControl control;
    auto paused = std::async(std::launch::async, [&] { return control.pause(3600.0); });
    control.cancel();
    ASSERT_EQ(paused.wait_for(5s), std::future_status::ready) << "the pause did not notice the cancel";
    EXPECT_FALSE(paused.get());
    EXPECT_TRUE(control.isCancelled());
    EXPECT_FALSE(control.pause(3600.0));  // once cancelled, pauses end at once
}

TEST(PlaybackControl, AnUncancelledPauseRunsOut)
{
    recorder::PlaybackControl control;
    EXPECT_TRUE(control.pause(0.001));
    EXPECT_TRUE(control.pause(0.0));
    EXPECT_TRUE(control.pause(-1.0));
    EXPECT_FALSE(control.isCancelled());
}

TEST(PlaybackControl, WaitFinishedReturnsOnceTheTaskHasEnded)
{
    recorder::PlaybackControl control;
    auto waiting = std::async(std::launch::async, [&] { control.waitFinished(); });
    control.markFinished();
    EXPECT_EQ(waiting.wait_for(5s), std::future_status::ready);
}

TEST(SerialWorker, RunsTasksOneAfterAnotherInOrder)
{
    std::vector<int> order;  // touched only by the worker's thread until it joins
    {
        recorder::SerialWorker worker;
        for (int i = 0; i < 50; ++i) {
            worker.submit([&order, i] { order.push_back(i); });
        }
    }
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

}  // namespace
