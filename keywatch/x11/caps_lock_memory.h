// The Caps Lock lock state as the newest tap last saw it. The server locks
// Caps Lock on a press but unlocks it only on the release after the next
// press, so while the key is down only the tap, counting presses, knows
// the state the press leads to; the system-wide flags use this answer.
#pragma once

#include <mutex>
#include <optional>

namespace x11 {

class CapsLockMemory {
public:
    void remember(const void* tap, bool locked);
    // The tap is gone; its answer no longer counts.
    void forget(const void* tap);
    std::optional<bool> recalled() const;

private:
    mutable std::mutex mutex_;
    const void* tap_ = nullptr;
    bool locked_ = false;
};

}  // namespace x11
