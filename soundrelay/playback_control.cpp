#include "playback_control.h"

#include <algorithm>

namespace recorder {

void PlaybackControl::cancel()
{
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
}

bool PlaybackControl::isCancelled() const
{
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool PlaybackControl::pause(double seconds)
{
    // A day bounds what a file with an absurd rate could ask for.
    constexpr double kLongestPause = 86400.0;
    if (!(seconds > 0.0)) {
        return !isCancelled();
    }
    seconds = std::min(seconds, kLongestPause);
    const auto length = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    const auto deadline = std::chrono::steady_clock::now() + length;
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return cancelled_; });
    return !cancelled_;
}

void PlaybackControl::markFinished()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

void PlaybackControl::waitFinished()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
}

}  // namespace recorder
