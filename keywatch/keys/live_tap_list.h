// The taps of one backend that exist, newest last. The newest answers the
// system-wide flags; a tap leaves the list before it is taken apart, so a
// call from another thread never reaches a tap that is going away.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace keys {

template <class Tap>
class LiveTapList {
public:
    void add(Tap* tap)
    {
        std::lock_guard lock(mutex_);
        taps_.push_back(tap);
    }

    void remove(Tap* tap)
    {
        std::lock_guard lock(mutex_);
        taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
    }

    // The newest tap's currentFlags(); empty without a tap. Main thread.
    std::optional<uint64_t> newestFlags() const
    {
        std::lock_guard lock(mutex_);
        if (taps_.empty()) {
            return std::nullopt;
        }
        return taps_.back()->currentFlags();
    }

    // Offers the taps to `take`, newest first, until it takes one; true
    // when it did. The list holds its lock meanwhile.
    template <class Take>
    bool offerNewestFirst(Take&& take) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(taps_.rbegin(), taps_.rend(), [&](Tap* tap) { return take(*tap); });
    }

private:
    mutable std::mutex mutex_;
    std::vector<Tap*> taps_;
};

}  // namespace keys
