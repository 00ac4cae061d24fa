// The evdev taps that exist, newest last. The newest answers the
// system-wide flags, and the newest active one takes posted events; a tap
// leaves the list before it is taken apart, so a post from another thread
// never reaches a tap that is going away.
#pragma once

#include "backend.h"

#include <mutex>
#include <optional>
#include <vector>

namespace evdev {

class EvdevTap;

class LiveTaps {
public:
    void add(EvdevTap* tap);
    void remove(EvdevTap* tap);

    // The flags as the newest tap last delivered them; empty without a tap.
    std::optional<CGEventFlags> newestFlags() const;

    // Hands `event` to the newest active tap; false when there is none.
    bool postToNewestActive(const standin::PostedEvent& event) const;

private:
    mutable std::mutex mutex_;
    std::vector<EvdevTap*> taps_;
};

}  // namespace evdev
