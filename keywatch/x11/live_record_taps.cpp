#include "live_record_taps.h"

#include "record_backend_tap.h"

#include <algorithm>

namespace x11 {

void LiveRecordTaps::add(const RecordBackendTap* tap)
{
    std::lock_guard lock(mutex_);
    taps_.push_back(tap);
}

void LiveRecordTaps::remove(const RecordBackendTap* tap)
{
    std::lock_guard lock(mutex_);
    taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
}

std::optional<CGEventFlags> LiveRecordTaps::newestFlags() const
{
    std::lock_guard lock(mutex_);
    if (taps_.empty()) {
        return std::nullopt;
    }
    return taps_.back()->currentFlags();
}

}  // namespace x11
