// Event taps: the port that stands for a tap, its run-loop source, and the
// delivery of the backend's events to the tap's callback.
#include "backend.h"
#include "cg_event.h"
#include "run_loop.h"

using standin::BackendTap;
using standin::Disposition;
using standin::EventOutcome;
using standin::Object;
using standin::Ref;
using standin::TapEvent;

struct __CFMachPort : Object {
    __CFMachPort(std::shared_ptr<standin::Backend> owner, std::shared_ptr<BackendTap> backendTap,
                 const standin::TapRequest& tapRequest, CGEventTapCallBack tapCallback, void* info)
        : backend(std::move(owner)), tap(std::move(backendTap)), request(tapRequest), callback(tapCallback),
          userInfo(info)
    {
    }

    bool isValid() const { return tap && tap->isValid(); }

    // Ends the tap for good; the backend releases whatever it held for it.
    void invalidate() { tap.reset(); }

    int eventFd() const { return tap ? tap->eventFd() : -1; }

    void dispatchPending();

    const std::shared_ptr<standin::Backend> backend; // the backend that made the tap
    std::shared_ptr<BackendTap> tap;                 // null once invalidated
    const standin::TapRequest request;
    const CGEventTapCallBack callback;
    void* const userInfo;

private:
    bool listenOnly() const { return request.options == kCGEventTapOptionListenOnly; }
    bool wants(CGEventType type) const { return type < 64 && (request.mask & CGEventMaskBit(type)) != 0; }
    void notify(const TapEvent& notification);
    EventOutcome deliver(const TapEvent& event);
    EventOutcome outcomeOf(const TapEvent& original, CGEventRef passedIn, CGEventRef returned) const;
};

namespace {

bool isNotification(CGEventType type)
{
    return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

EventOutcome passedUnchanged(const TapEvent& event)
{
    return {Disposition::passed, event.type, event.keyCode, event.flags};
}

CGEventTapProxy proxyOf(__CFMachPort* port) { return reinterpret_cast<CGEventTapProxy>(port); }

} // namespace

void __CFMachPort::dispatchPending()
{
    // The callback may tear this very tap down (invalidate and release the
    // port); both stay alive until the batch is settled.
    const auto keepPort = Ref<__CFMachPort>::retaining(this);
    const std::shared_ptr<BackendTap> keepTap = tap;
    if (!keepTap)
        return;
    for (const TapEvent& item : keepTap->takePending()) {
        if (isNotification(item.type)) {
            notify(item);
            continue;
        }
        keepTap->settle(item, deliver(item));
    }
}

void __CFMachPort::notify(const TapEvent& notification)
{
    if (!tap || !callback)
        return;
    auto event = Ref<__CGEvent>::adopting(Object::create<__CGEvent>(notification.type, 0, 0));
    CGEventRef returned = callback(proxyOf(this), notification.type, event.get(), userInfo);
    if (returned && returned != event.get() && !listenOnly())
        CFRelease(returned);
}

EventOutcome __CFMachPort::deliver(const TapEvent& item)
{
    if (!callback || !isValid() || !tap->isEnabled() || !wants(item.type))
        return passedUnchanged(item);
    auto event = Ref<__CGEvent>::adopting(Object::create<__CGEvent>(item.type, item.keyCode, item.flags));
    CGEventRef returned = callback(proxyOf(this), item.type, event.get(), userInfo);
    if (listenOnly())
        return passedUnchanged(item);
    const EventOutcome outcome = outcomeOf(item, event.get(), returned);
    // A new event handed back goes to the system, which releases it.
    if (returned && returned != event.get())
        CFRelease(returned);
    return outcome;
}

EventOutcome __CFMachPort::outcomeOf(const TapEvent& original, CGEventRef passedIn, CGEventRef returned) const
{
    if (!returned)
        return {Disposition::deleted, original.type, original.keyCode, original.flags};
    const bool same = returned == passedIn && returned->type == original.type &&
                      returned->keyCode == original.keyCode && returned->flags == original.flags;
    if (same)
        return passedUnchanged(original);
    return {Disposition::changed, returned->type, returned->keyCode, returned->flags};
}

namespace {

// The run-loop source of a tap: readable when the backend has events.
class TapSource final : public __CFRunLoopSource {
public:
    explicit TapSource(CFMachPortRef port) : port_(Ref<__CFMachPort>::retaining(port)) {}
    int pollFd() override { return port_->eventFd(); }
    void perform() override { port_->dispatchPending(); }
    bool isValid() const override { return __CFRunLoopSource::isValid() && port_->isValid(); }

private:
    const Ref<__CFMachPort> port_;
};

} // namespace

extern "C" {

CFMachPortRef CGEventTapCreate(CGEventTapLocation location, CGEventTapPlacement place, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack callback, void* userInfo)
{
    if (!callback)
        return nullptr;
    auto backend = standin::currentBackend();
    const standin::TapRequest request{location, place, options, eventsOfInterest};
    std::shared_ptr<BackendTap> tap = backend->createTap(request);
    if (!tap)
        return nullptr;
    return Object::create<__CFMachPort>(std::move(backend), std::move(tap), request, callback, userInfo);
}

void CGEventTapEnable(CFMachPortRef tap, bool enable)
{
    if (tap && tap->isValid())
        tap->tap->setEnabled(enable);
}

bool CGEventTapIsEnabled(CFMachPortRef tap) { return tap && tap->isValid() && tap->tap->isEnabled(); }

Boolean CFMachPortIsValid(CFMachPortRef port) { return port && port->isValid(); }

void CFMachPortInvalidate(CFMachPortRef port)
{
    if (port)
        port->invalidate();
}

CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef port, CFIndex)
{
    if (!port || !port->isValid() || !port->backend->canCreateRunLoopSource())
        return nullptr;
    return Object::create<TapSource>(port);
}

} // extern "C"
