// What the command loop and a running playback task share: the cancel
// flag, an interruptible pause, and the news that the task has ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace recorder {

class PlaybackControl {
public:
    void cancel();
    bool isCancelled() const;

    // Waits `seconds` or until cancelled; false when cancelled.
    bool pause(double seconds);

    // Called by the task as its very last act.
    void markFinished();
    // Blocks until markFinished has been called.
    void waitFinished();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;  // guarded by mutex_
    bool finished_ = false;   // guarded by mutex_
};

}  // namespace recorder
