// The stand-in's keyboard backend on the kernel's input devices: the
// active tap (kind 0) grabs the keyboards and re-emits through a virtual
// one; the listen-only tap reads them without a grab. Posted events enter
// the newest active tap as if typed, so they pass through the callback.
#pragma once

#include "backend.h"
#include "live_tap_list.h"

#include <memory>
#include <optional>

namespace evdev {

class EvdevTap;
class TapGuard;

class EvdevBackend final : public standin::Backend {
public:
    EvdevBackend();

    // Active at the HID level; listen-only anywhere; nothing else.
    std::unique_ptr<standin::BackendTap> createTap(const standin::TapRequest& request) override;
    void post(const standin::PostedEvent& event) override { postToActiveTap(event); }
    CGEventFlags flagsState(CGEventSourceStateID state) override;
    bool providesListenAccess() const override { return true; }
    bool listenAccessGranted() override;

    // For a backend that combines this one with others.
    bool postToActiveTap(const standin::PostedEvent& event);
    // The newest tap's flags; empty while no evdev tap exists.
    std::optional<CGEventFlags> tapFlags() const;

private:
    std::shared_ptr<keys::LiveTapList<EvdevTap>> liveTaps_;
    // Started with the first active tap, and kept for the ones after it.
    std::shared_ptr<TapGuard> guard_;
};

}  // namespace evdev
