// A simulated keyboard for tests: a backend for the stand-in frameworks
// whose taps, events, modifier state, capabilities and clock a test drives.
//
// Every control is thread-safe: a test may run CFRunLoopRun on one thread
// and drive the keyboard from another, or pump the run loop itself with
// CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, true) between calls.
// A run of 0 seconds is one pass: it fires the timers due on the virtual
// clock and handles the events waiting in the tap. The seconds of a run
// are real time (they bound a wait); timers do not count as a handled
// source, so a longer run after advance() waits out its seconds.
#pragma once

#include "backend.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

// The three kinds of tap keywatch asks for, numbered as keywatch numbers
// them: 0 active at the HID level, 1 active at the session level, 2
// listen-only. A listen-only request at any location is `listenOnly`; an
// active one anywhere but the HID level is `session`.
enum class TapKind { hid = 0, session = 1, listenOnly = 2 };

enum class ListenAccess { granted, denied, absent };

// What became of one keyboard event that was scripted or posted.
struct Delivery {
    standin::TapEvent event;          // as it entered the event stream
    bool injected = false;            // came back from CGEventPost
    std::optional<TapKind> tapKind;   // the tap it went to; none without a tap
    bool reachedTap = false;          // false: no live, enabled tap wanted it
    standin::EventOutcome outcome;    // passed when it did not reach a tap
};

class Keyboard {
public:
    // Makes a simulated keyboard, installs its backend in the stand-in and
    // returns its controls. Installing another backend later detaches it.
    static std::shared_ptr<Keyboard> install();

    virtual ~Keyboard() = default;

    // --- Taps. Controls that act on "the tap" act on the newest tap that
    // has not been destroyed (invalidated or released).

    // Whether a kind can be created; every kind can by default.
    virtual void allowTap(TapKind kind, bool allowed) = 0;
    // CFMachPortCreateRunLoopSource returns null while set.
    virtual void failRunLoopSource(bool fail) = 0;
    // CGEventTapEnable(tap, true) leaves the tap disabled while set.
    virtual void failReenable(bool fail) = 0;
    // Disables the tap and sends the callback the notification `reason`
    // (kCGEventTapDisabledByTimeout or kCGEventTapDisabledByUserInput).
    // False when there is no tap.
    virtual bool disableTap(CGEventType reason) = 0;
    // The tap's port turns invalid, as when the backend loses its
    // connection. False when there is no tap.
    virtual bool invalidateTap() = 0;

    virtual std::optional<TapKind> tapKind() const = 0; // none without a tap
    virtual bool tapEnabled() const = 0;
    virtual bool tapValid() const = 0;
    virtual int liveTaps() const = 0;    // taps not yet destroyed
    virtual int tapsCreated() const = 0; // every tap ever handed out
    // Every CGEventTapCreate request that reached the backend, granted or
    // refused, oldest first.
    virtual std::vector<standin::TapRequest> tapRequests() const = 0;

    // --- Events.

    // Sends a keyboard event (key down, key up or flags changed) into the
    // event stream; it reaches the tap's callback on the run loop's thread.
    virtual void script(CGEventType type, CGKeyCode keyCode, CGEventFlags flags) = 0;
    void keyDown(CGKeyCode keyCode, CGEventFlags flags = 0) { script(kCGEventKeyDown, keyCode, flags); }
    void keyUp(CGKeyCode keyCode, CGEventFlags flags = 0) { script(kCGEventKeyUp, keyCode, flags); }
    void flagsChanged(CGKeyCode keyCode, CGEventFlags flags) { script(kCGEventFlagsChanged, keyCode, flags); }

    // Every event that is settled: scripted and injected ones, in the order
    // they were settled. Events still waiting in a tap are not listed.
    virtual std::vector<Delivery> deliveries() const = 0;
    // Waits until at least `count` events have been settled since the start
    // (or the last clear). False on time-out.
    virtual bool waitForDeliveries(std::size_t count, std::chrono::milliseconds timeout) const = 0;
    // Events scripted or posted but not yet settled.
    virtual std::size_t pendingEvents() const = 0;
    virtual void clearDeliveries() = 0;

    // --- Posting.

    // Every event handed to CGEventPost, oldest first.
    virtual std::vector<standin::PostedEvent> posted() const = 0;
    virtual bool waitForPosted(std::size_t count, std::chrono::milliseconds timeout) const = 0;
    virtual void clearPosted() = 0;
    // Whether posted events come back through the tap as on the native
    // system (they do by default).
    virtual void setLoopback(bool loopback) = 0;

    // --- System state.

    // What CGEventSourceFlagsState answers, for every state.
    virtual void setSystemFlags(CGEventFlags flags) = 0;
    virtual void setSecureInput(bool on) = 0;
    // False makes the lookup of IsSecureEventInputEnabled answer "absent".
    // Takes effect for lookups made afterwards. Available by default.
    virtual void setSecureInputAvailable(bool available) = 0;
    // The answer of the looked-up CGPreflightListenEventAccess; `absent`
    // makes the lookup fail. Granted by default.
    virtual void setListenAccess(ListenAccess access) = 0;

    // --- The virtual clocks: the wall clock behind CFAbsoluteTimeGetCurrent,
    // and the monotonic one behind the run-loop timers and
    // CACurrentMediaTime. Both stand still until moved, and read the same
    // until the wall clock is stepped.

    virtual CFAbsoluteTime now() const = 0;
    virtual CFTimeInterval monotonicNow() const = 0;
    // Moves both clocks forward and wakes the run loops, which fire the
    // timers now due on their own threads. A repeating timer more than one
    // interval overdue fires once, as on the native system: move in steps
    // of at most one interval to see every firing.
    virtual void advance(CFTimeInterval seconds) = 0;
    // Sets the wall clock forward or back, as a user or time service does;
    // the monotonic clock stays where it is.
    virtual void stepWallClock(CFTimeInterval seconds) = 0;
    // advance(), then waits until a run loop on another thread has run the
    // timers due at the new time. False on time-out (no run loop running).
    virtual bool advanceAndWait(CFTimeInterval seconds, std::chrono::milliseconds timeout) = 0;
};

} // namespace sim
