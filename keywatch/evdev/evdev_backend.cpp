#include "evdev_backend.h"

#include "evdev_tap.h"
#include "tap_guard.h"

namespace evdev {

EvdevBackend::EvdevBackend()
    : liveTaps_(std::make_shared<LiveTaps>())
{
}

std::unique_ptr<standin::BackendTap> EvdevBackend::createTap(const standin::TapRequest& request)
{
    if (request.options == kCGEventTapOptionListenOnly) {
        return EvdevTap::open(false, liveTaps_, nullptr);
    }
    if (request.location == kCGHIDEventTap) {
        if (!guard_) {
            guard_ = TapGuard::start();
        }
        return EvdevTap::open(true, liveTaps_, guard_);
    }
    return nullptr;
}

CGEventFlags EvdevBackend::flagsState(CGEventSourceStateID)
{
    return tapFlags().value_or(0);
}

bool EvdevBackend::listenAccessGranted() { return anyKeyboardReadable(); }

bool EvdevBackend::postToActiveTap(const standin::PostedEvent& event)
{
    return liveTaps_->offerNewestFirst([&](EvdevTap& tap) {
        if (!tap.active()) {
            return false;
        }
        tap.post(event);
        return true;
    });
}

std::optional<CGEventFlags> EvdevBackend::tapFlags() const { return liveTaps_->newestFlags(); }

}  // namespace evdev
