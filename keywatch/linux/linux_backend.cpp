#include "linux_backend.h"

#include "evdev_backend.h"
#include "x11_backend.h"

namespace linuxkb {

namespace {

class LinuxBackend final : public standin::Backend {
public:
    std::unique_ptr<standin::BackendTap> createTap(const standin::TapRequest& request) override
    {
        if (request.options == kCGEventTapOptionListenOnly) {
            if (auto tap = x11_->createTap(request)) {
                return tap;
            }
            return evdev_.createTap(request);
        }
        if (request.location != kCGHIDEventTap) {
            return nullptr;
        }
        return evdev_.createTap(request);
    }

    // Through the active tap when there is one, so that the callback sees
    // the event; through the display otherwise.
    void post(const standin::PostedEvent& event) override
    {
        if (!evdev_.postToActiveTap(event)) {
            x11_->post(event);
        }
    }

    CGEventFlags flagsState(CGEventSourceStateID state) override
    {
        if (const auto flags = evdev_.tapFlags()) {
            return *flags;
        }
        return x11_->flagsState(state);
    }

    bool providesListenAccess() const override { return true; }

    // Some keyboard can be read, or the display lets its keys be recorded.
    bool listenAccessGranted() override
    {
        return evdev_.listenAccessGranted() || x11_->listenAccessGranted();
    }

private:
    evdev::EvdevBackend evdev_;
    std::unique_ptr<standin::Backend> x11_ = x11::makeX11Backend();
};

}  // namespace

std::unique_ptr<standin::Backend> makeLinuxBackend()
{
    return std::make_unique<LinuxBackend>();
}

}  // namespace linuxkb
