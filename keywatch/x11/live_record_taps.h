// The record taps that exist, newest last. The newest answers the
// system-wide flags; a tap leaves the list before it is taken apart.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <mutex>
#include <optional>
#include <vector>

namespace x11 {

class RecordBackendTap;

class LiveRecordTaps {
public:
    void add(const RecordBackendTap* tap);
    void remove(const RecordBackendTap* tap);

    // The newest tap's flags as of the event being handled; empty without a tap.
    std::optional<CGEventFlags> newestFlags() const;

private:
    mutable std::mutex mutex_;
    std::vector<const RecordBackendTap*> taps_;
};

}  // namespace x11
