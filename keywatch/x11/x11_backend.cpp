#include "x11_backend.h"

#include "caps_lock_memory.h"
#include "display_link.h"
#include "key_codes.h"
#include "x11_flags.h"
#include "record_backend_tap.h"

namespace x11 {

namespace {

class X11Backend final : public standin::Backend {
public:
    // RECORD only watches: the active kinds cannot be had on X11.
    std::unique_ptr<standin::BackendTap> createTap(const standin::TapRequest& request) override
    {
        if (request.options != kCGEventTapOptionListenOnly) {
            return nullptr;
        }
        return RecordBackendTap::open(capsLock_);
    }

    void post(const standin::PostedEvent& event) override
    {
        const auto xKeycode = xKeycodeForMacKey(event.keyCode);
        if (!xKeycode) {
            return;
        }
        switch (event.type) {
        case kCGEventKeyDown:
            link_.fakeKey(*xKeycode, true);
            return;
        case kCGEventKeyUp:
            link_.fakeKey(*xKeycode, false);
            return;
        case kCGEventFlagsChanged:
            postFlagsChange(*xKeycode, event);
            return;
        default:
            return;
        }
    }

    CGEventFlags flagsState(CGEventSourceStateID) override
    {
        const auto keyboard = link_.keyboard();
        if (!keyboard) {
            return 0;
        }
        const bool capsLocked = capsLock_->recalled().value_or(keyboard->capsLocked);
        return macFlags(keyboard->down, capsLocked);
    }

    bool providesListenAccess() const override { return true; }

    // Granted when this display lets a RECORD context be made.
    bool listenAccessGranted() override { return RecordTap::canRecord(); }

private:
    // A modifier goes down when the event carries its own bit and up when
    // not; Caps Lock toggles, so it is pressed and released.
    void postFlagsChange(uint8_t xKeycode, const standin::PostedEvent& event)
    {
        if (event.keyCode == kMacCapsLock) {
            link_.fakeKey(xKeycode, true);
            link_.fakeKey(xKeycode, false);
            return;
        }
        const uint64_t ownBits = modifierFlagsOfXKeycode(xKeycode) & kDeviceDependentBits;
        if (ownBits == 0) {
            return;
        }
        link_.fakeKey(xKeycode, (event.flags & ownBits) != 0);
    }

    std::shared_ptr<CapsLockMemory> capsLock_ = std::make_shared<CapsLockMemory>();
    DisplayLink link_;
};

}  // namespace

std::unique_ptr<standin::Backend> makeX11Backend()
{
    return std::make_unique<X11Backend>();
}

}  // namespace x11
