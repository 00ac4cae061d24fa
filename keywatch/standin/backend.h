// The one seam between the stand-in frameworks and a keyboard backend
// (simulated, X11, ...). The stand-in owns run loops, ports, events and
// callbacks; a backend owns the taps it hands out, event posting, the
// system-wide modifier state, the optional capabilities and the clock.
//
// Threads: every call below is made on the thread that runs the tap's run
// loop (keywatch's main thread), except Backend::post, which may come from
// any thread at the same time, and the clock calls, which come from every
// thread that runs a run loop.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace standin {

// What a tap was asked to be, as CGEventTapCreate received it.
struct TapRequest {
    CGEventTapLocation location = kCGHIDEventTap;
    CGEventTapPlacement placement = kCGHeadInsertEventTap;
    CGEventTapOptions options = kCGEventTapOptionDefault;
    CGEventMask mask = 0;
};

// One item a tap delivers: a keyboard event, or a tap-disabled
// notification (type kCGEventTapDisabledByTimeout or ...ByUserInput).
struct TapEvent {
    std::uint64_t id = 0; // backend's own tag, handed back in settle()
    CGEventType type = kCGEventNull;
    CGKeyCode keyCode = 0;
    CGEventFlags flags = 0;
};

enum class Disposition {
    passed,  // the event goes on unchanged
    deleted, // the callback returned null on an active tap
    changed, // the event goes on as in EventOutcome
};

struct EventOutcome {
    Disposition disposition = Disposition::passed;
    // For `changed`: the event that goes on. For `passed`: the original.
    CGEventType type = kCGEventNull;
    CGKeyCode keyCode = 0;
    CGEventFlags flags = 0;
};

// One tap, as a backend runs it. Destroying it ends the tap for good
// (CFMachPortInvalidate, or the last CFRelease of the port).
class BackendTap {
public:
    virtual ~BackendTap() = default;

    // Readable (level-triggered) while takePending() has something to
    // return; -1 when there is nothing to poll. Stays open for the tap's
    // lifetime.
    virtual int eventFd() const = 0;

    // Removes and returns the pending items, oldest first. Empty is fine.
    virtual std::vector<TapEvent> takePending() = 0;

    // Called exactly once for every keyboard event taken (not for
    // notifications), before the next takePending(). Events that are not
    // in the tap's mask, or arrive while the tap is disabled or invalid,
    // are settled as passed without reaching the callback. A listen-only
    // tap always settles as passed.
    virtual void settle(const TapEvent& event, const EventOutcome& outcome) = 0;

    // CGEventTapEnable. A backend may refuse to enable (stays disabled).
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;

    // False once the backend has lost the tap (e.g. its display
    // connection). The stand-in then reports the port invalid.
    virtual bool isValid() const = 0;

    // When the backend itself disables a tap, it marks it disabled and
    // queues a TapEvent with the notification type; the stand-in passes
    // that to the callback as the native system does.
};

// A key event handed to CGEventPost.
struct PostedEvent {
    CGEventTapLocation location = kCGHIDEventTap;
    CGEventType type = kCGEventKeyDown; // key down, key up or flags changed
    CGKeyCode keyCode = 0;
    CGEventFlags flags = 0;
};

class Backend {
public:
    virtual ~Backend() = default;

    // CGEventTapCreate: null when this kind of tap cannot be had here.
    virtual std::unique_ptr<BackendTap> createTap(const TapRequest& request) = 0;

    // CFMachPortCreateRunLoopSource for a tap port: false makes it return
    // null.
    virtual bool canCreateRunLoopSource() { return true; }

    // CGEventPost. Thread-safe: called from the stdin thread and the main
    // thread alike.
    virtual void post(const PostedEvent& event) = 0;

    // CGEventSourceFlagsState.
    virtual CGEventFlags flagsState(CGEventSourceStateID state) = 0;

    // Secure keyboard input (the looked-up IsSecureEventInputEnabled).
    // When providesSecureInput() is false the lookup answers "absent".
    virtual bool providesSecureInput() const { return false; }
    virtual bool secureInputEnabled() { return false; }

    // Listen-event access (the looked-up CGPreflightListenEventAccess).
    // When providesListenAccess() is false the lookup answers "absent".
    virtual bool providesListenAccess() const { return false; }
    virtual bool listenAccessGranted() { return false; }

    // The wall clock behind CFAbsoluteTimeGetCurrent. The default is the
    // system's real time, which may be set, and so may step.
    virtual CFAbsoluteTime now();

    // Seconds on a clock that only moves forward, at the pace of real time:
    // what run-loop timers, poll timeouts and CACurrentMediaTime follow. The
    // default is the system's monotonic clock.
    virtual CFTimeInterval monotonicNow();

    // How long a run loop may sleep, in milliseconds, before `deadline`
    // (a time of monotonicNow()) is due: 0 if it is, -1 for "until woken".
    // A virtual clock answers -1 and calls wakeRunLoops() when it moves.
    virtual int millisecondsUntil(CFTimeInterval deadline);

    // A run loop has run every timer due at `time` (of monotonicNow()).
    virtual void timersRan(CFTimeInterval time) { (void)time; }
};

// Makes `backend` the one the stand-in uses from now on. Meant for tests,
// before anything has been created; objects made under the previous
// backend keep using theirs until released.
void installBackend(std::unique_ptr<Backend> backend);

// The backend in use; the platform default is made on first use when none
// was installed.
std::shared_ptr<Backend> currentBackend();

// Wakes every run loop so that it re-reads the clock. Callable from any
// thread.
void wakeRunLoops();

// The platform's default backend (defined in platform_backend.cpp).
std::unique_ptr<Backend> makePlatformBackend();

// A backend with no keyboard: it creates no tap, posts nowhere, reports no
// modifiers and provides neither optional capability. A fallback for
// platform backends that find nothing to attach to.
std::unique_ptr<Backend> makeNullBackend();

} // namespace standin
