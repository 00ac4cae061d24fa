#include "live_taps.h"

#include "evdev_tap.h"

#include <algorithm>

namespace evdev {

void LiveTaps::add(EvdevTap* tap)
{
    std::lock_guard lock(mutex_);
    taps_.push_back(tap);
}

void LiveTaps::remove(EvdevTap* tap)
{
    std::lock_guard lock(mutex_);
    taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
}

std::optional<CGEventFlags> LiveTaps::newestFlags() const
{
    std::lock_guard lock(mutex_);
    if (taps_.empty()) {
        return std::nullopt;
    }
    return taps_.back()->currentFlags();
}

bool LiveTaps::postToNewestActive(const standin::PostedEvent& event) const
{
    std::lock_guard lock(mutex_);
    for (auto tap = taps_.rbegin(); tap != taps_.rend(); ++tap) {
        if ((*tap)->active()) {
            (*tap)->post(event);
            return true;
        }
    }
    return false;
}

}  // namespace evdev
