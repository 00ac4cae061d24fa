#include "x11_backend.h"

#include "display_link.h"
#include "key_codes.h"
#include "record_backend_tap.h"
#include "x11_flags.h"

#include <unistd.h>

namespace x11 {

namespace {

bool onMainThread() { return ::gettid() == ::getpid(); }

class X11Backend final : public standin::Backend {
public:
    // RECORD only watches: the active kinds cannot be had on X11.
    std::unique_ptr<standin::BackendTap> createTap(const standin::TapRequest& request) override
    {
        if (request.options != kCGEventTapOptionListenOnly) {
            return nullptr;
        }
        return RecordBackendTap::open(liveTaps_);
    }

    void post(const standin::PostedEvent& event) override
    {
        const auto xKeycode = xKeycodeForMacKey(event.keyCode);
        if (!xKeycode) {
            return;
        }
        DisplayLink& link = onMainThread() ? mainLink_ : otherLink_;
        switch (event.type) {
        case kCGEventKeyDown:
            link.fakeKey(*xKeycode, true);
            return;
        case kCGEventKeyUp:
            link.fakeKey(*xKeycode, false);
            return;
        case kCGEventFlagsChanged:
            postFlagsChange(link, *xKeycode, event);
            return;
        default:
            return;
        }
    }

    // A tap knows the flags as of the event being handled; the server knows
    // only the present, and is asked (within a bound) only without a tap.
    CGEventFlags flagsState(CGEventSourceStateID) override
    {
        if (const auto flags = liveTaps_->newestFlags()) {
            return *flags;
        }
        const auto keyboard = mainLink_.keyboard();
        return keyboard ? macFlags(keyboard->down, keyboard->capsLocked) : 0;
    }

    bool providesListenAccess() const override { return true; }

    // Granted when this display lets a RECORD context be made.
    bool listenAccessGranted() override { return RecordTap::canRecord(); }

private:
    // A modifier goes down when the event carries its own bit and up when
    // not; Caps Lock toggles, so it is pressed and released.
    void postFlagsChange(DisplayLink& link, uint8_t xKeycode, const standin::PostedEvent& event)
    {
        if (event.keyCode == kMacCapsLock) {
            link.fakeKey(xKeycode, true);
            link.fakeKey(xKeycode, false);
            return;
        }
        const uint64_t ownBits = modifierFlagsOfXKeycode(xKeycode) & kDeviceDependentBits;
        if (ownBits == 0) {
            return;
        }
        link.fakeKey(xKeycode, (event.flags & ownBits) != 0);
    }

    std::shared_ptr<LiveRecordTaps> liveTaps_ = std::make_shared<LiveRecordTaps>();
    // The main thread (tap callback, heartbeat) has a connection of its own,
    // so that a post from another thread that waits on the server never
    // holds it up.
    DisplayLink mainLink_;
    DisplayLink otherLink_;
};

}  // namespace

std::unique_ptr<standin::Backend> makeX11Backend()
{
    return std::make_unique<X11Backend>();
}

}  // namespace x11
