// The simulated keyboard's state, shared by the backend the stand-in calls
// and the controls a test holds. One mutex guards all of it.
#pragma once

#include "sim_backend.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace sim {

// One tap the backend handed out.
struct TapRecord {
    TapRecord(std::uint64_t tapId, TapKind tapKind, const standin::TapRequest& tapRequest);
    ~TapRecord();
    TapRecord(const TapRecord&) = delete;
    TapRecord& operator=(const TapRecord&) = delete;

    const std::uint64_t id;
    const TapKind kind;
    const standin::TapRequest request;
    const int eventFd;
    bool enabled = true;
    bool valid = true;
    std::deque<standin::TapEvent> queue;
};

class State {
public:
    // --- The backend side.
    std::shared_ptr<TapRecord> createTap(const standin::TapRequest& request);
    void destroyTap(const std::shared_ptr<TapRecord>& tap);
    std::vector<standin::TapEvent> takePending(TapRecord& tap);
    void settle(const standin::TapEvent& event, const standin::EventOutcome& outcome);
    void setEnabled(TapRecord& tap, bool enabled);
    bool isEnabled(const TapRecord& tap) const;
    bool isValid(const TapRecord& tap) const;
    bool canCreateRunLoopSource() const;
    void post(const standin::PostedEvent& event);
    CGEventFlags flagsState() const;
    bool providesSecureInput() const;
    bool secureInputEnabled() const;
    bool providesListenAccess() const;
    bool listenAccessGranted() const;
    CFAbsoluteTime now() const;
    CFTimeInterval monotonicNow() const;
    void timersRan(CFTimeInterval time);

    // --- The test side.
    void allowTap(TapKind kind, bool allowed);
    void failRunLoopSource(bool fail);
    void failReenable(bool fail);
    bool disableTap(CGEventType reason);
    bool invalidateTap();
    std::optional<TapKind> tapKind() const;
    bool tapEnabled() const;
    bool tapValid() const;
    int liveTaps() const;
    int tapsCreated() const;
    std::vector<standin::TapRequest> tapRequests() const;
    void script(CGEventType type, CGKeyCode keyCode, CGEventFlags flags);
    std::vector<Delivery> deliveries() const;
    bool waitForDeliveries(std::size_t count, std::chrono::milliseconds timeout) const;
    std::size_t pendingEvents() const;
    void clearDeliveries();
    std::vector<standin::PostedEvent> posted() const;
    bool waitForPosted(std::size_t count, std::chrono::milliseconds timeout) const;
    void clearPosted();
    void setLoopback(bool loopback);
    void setSystemFlags(CGEventFlags flags);
    void setSecureInput(bool on);
    void setSecureInputAvailable(bool available);
    void setListenAccess(ListenAccess access);
    CFTimeInterval advance(CFTimeInterval seconds);
    void stepWallClock(CFTimeInterval seconds);
    bool waitForTimersAt(CFTimeInterval time, std::chrono::milliseconds timeout) const;

private:
    // One field, read or written under the lock.
    template <class T>
    T lockedRead(const T& field) const
    {
        std::lock_guard lock(mutex_);
        return field;
    }

    template <class T>
    void lockedWrite(T& field, const T& value)
    {
        std::lock_guard lock(mutex_);
        field = value;
    }

    // Waits under the lock until `ready` holds or `timeout` passes.
    template <class Ready>
    bool waitUntil(std::chrono::milliseconds timeout, Ready ready) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, ready);
    }

    // Callers hold mutex_.
    TapRecord* newestTap() const;
    void enter(const standin::TapEvent& event, bool injected);
    void settled(Delivery delivery);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    bool allowed_[3] = {true, true, true};
    bool failSource_ = false;
    bool failReenable_ = false;
    std::vector<std::shared_ptr<TapRecord>> taps_; // live taps, oldest first
    int tapsCreated_ = 0;
    std::uint64_t nextTapId_ = 1;
    std::vector<standin::TapRequest> requests_;

    std::uint64_t nextEventId_ = 1;
    std::map<std::uint64_t, Delivery> inFlight_; // entered a tap, not settled
    std::vector<Delivery> deliveries_;

    std::vector<standin::PostedEvent> posted_;
    bool loopback_ = true;

    CGEventFlags systemFlags_ = 0;
    bool secureInput_ = false;
    bool secureInputAvailable_ = true;
    ListenAccess listenAccess_ = ListenAccess::granted;

    // Both clocks start at the same reading and part only when the wall
    // clock is stepped.
    CFAbsoluteTime now_ = 800000000.0;
    CFTimeInterval monotonic_ = 800000000.0;
    CFTimeInterval timersRanAt_ = 0;
};

} // namespace sim
