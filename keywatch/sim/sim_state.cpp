// The simulated keyboard: taps, the event stream through them, posting,
// system state and the virtual clock.
#include "sim_state.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace sim {

namespace {

using standin::Disposition;
using standin::TapEvent;

TapKind kindOf(const standin::TapRequest& request)
{
    if (request.options == kCGEventTapOptionListenOnly)
        return TapKind::listenOnly;
    return request.location == kCGHIDEventTap ? TapKind::hid : TapKind::session;
}

bool isNotification(CGEventType type)
{
    return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

bool wants(const standin::TapRequest& request, CGEventType type)
{
    return type < 64 && (request.mask & CGEventMaskBit(type)) != 0;
}

void signal(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

void drain(int fd)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
}

standin::EventOutcome passed(const TapEvent& event)
{
    return {Disposition::passed, event.type, event.keyCode, event.flags};
}

} // namespace

TapRecord::TapRecord(std::uint64_t tapId, TapKind tapKind, const standin::TapRequest& tapRequest)
    : id(tapId), kind(tapKind), request(tapRequest), eventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

TapRecord::~TapRecord()
{
    if (eventFd >= 0)
        close(eventFd);
}

// --- The backend side.

std::shared_ptr<TapRecord> State::createTap(const standin::TapRequest& request)
{
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    const TapKind kind = kindOf(request);
    if (!allowed_[static_cast<int>(kind)])
        return nullptr;
    auto tap = std::make_shared<TapRecord>(nextTapId_++, kind, request);
    taps_.push_back(tap);
    ++tapsCreated_;
    return tap;
}

void State::destroyTap(const std::shared_ptr<TapRecord>& tap)
{
    std::lock_guard lock(mutex_);
    std::erase(taps_, tap);
    // Events still queued in a tap that goes away flow on untouched.
    for (const TapEvent& event : tap->queue) {
        auto found = inFlight_.find(event.id);
        if (found == inFlight_.end())
            continue;
        Delivery delivery = found->second;
        inFlight_.erase(found);
        delivery.reachedTap = false;
        delivery.outcome = passed(event);
        settled(delivery);
    }
    tap->queue.clear();
}

std::vector<TapEvent> State::takePending(TapRecord& tap)
{
    std::lock_guard lock(mutex_);
    drain(tap.eventFd);
    std::vector<TapEvent> taken(tap.queue.begin(), tap.queue.end());
    tap.queue.clear();
    return taken;
}

void State::settle(const TapEvent& event, const standin::EventOutcome& outcome)
{
    std::lock_guard lock(mutex_);
    auto found = inFlight_.find(event.id);
    if (found == inFlight_.end())
        return;
    Delivery delivery = found->second;
    inFlight_.erase(found);
    delivery.reachedTap = true;
    delivery.outcome = outcome;
    settled(delivery);
}

void State::setEnabled(TapRecord& tap, bool enabled)
{
    std::lock_guard lock(mutex_);
    if (enabled && failReenable_)
        return;
    tap.enabled = enabled;
}

bool State::isEnabled(const TapRecord& tap) const
{
    return lockedRead(tap.enabled);
}

bool State::isValid(const TapRecord& tap) const
{
    return lockedRead(tap.valid);
}

bool State::canCreateRunLoopSource() const
{
    return !lockedRead(failSource_);
}

void State::post(const standin::PostedEvent& event)
{
    std::lock_guard lock(mutex_);
    posted_.push_back(event);
    if (loopback_)
        enter({nextEventId_++, event.type, event.keyCode, event.flags}, true);
    changed_.notify_all();
}

CGEventFlags State::flagsState() const
{
    return lockedRead(systemFlags_);
}

bool State::providesSecureInput() const
{
    return lockedRead(secureInputAvailable_);
}

bool State::secureInputEnabled() const
{
    return lockedRead(secureInput_);
}

bool State::providesListenAccess() const
{
    return lockedRead(listenAccess_) != ListenAccess::absent;
}

bool State::listenAccessGranted() const
{
    return lockedRead(listenAccess_) == ListenAccess::granted;
}

CFAbsoluteTime State::now() const
{
    return lockedRead(now_);
}

CFTimeInterval State::monotonicNow() const
{
    return lockedRead(monotonic_);
}

void State::timersRan(CFTimeInterval time)
{
    std::lock_guard lock(mutex_);
    timersRanAt_ = std::max(timersRanAt_, time);
    changed_.notify_all();
}

// --- The test side.

void State::allowTap(TapKind kind, bool allowed)
{
    lockedWrite(allowed_[static_cast<int>(kind)], allowed);
}

void State::failRunLoopSource(bool fail)
{
    lockedWrite(failSource_, fail);
}

void State::failReenable(bool fail)
{
    lockedWrite(failReenable_, fail);
}

bool State::disableTap(CGEventType reason)
{
    std::lock_guard lock(mutex_);
    TapRecord* tap = newestTap();
    if (!tap)
        return false;
    tap->enabled = false;
    tap->queue.push_back({nextEventId_++, reason, 0, 0});
    signal(tap->eventFd);
    return true;
}

bool State::invalidateTap()
{
    std::lock_guard lock(mutex_);
    TapRecord* tap = newestTap();
    if (!tap)
        return false;
    tap->valid = false;
    return true;
}

std::optional<TapKind> State::tapKind() const
{
    std::lock_guard lock(mutex_);
    const TapRecord* tap = newestTap();
    if (!tap)
        return std::nullopt;
    return tap->kind;
}

bool State::tapEnabled() const
{
    std::lock_guard lock(mutex_);
    const TapRecord* tap = newestTap();
    return tap && tap->enabled;
}

bool State::tapValid() const
{
    std::lock_guard lock(mutex_);
    const TapRecord* tap = newestTap();
    return tap && tap->valid;
}

int State::liveTaps() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(taps_.size());
}

int State::tapsCreated() const
{
    return lockedRead(tapsCreated_);
}

std::vector<standin::TapRequest> State::tapRequests() const
{
    return lockedRead(requests_);
}

void State::script(CGEventType type, CGKeyCode keyCode, CGEventFlags flags)
{
    std::lock_guard lock(mutex_);
    enter({nextEventId_++, type, keyCode, flags}, false);
}

std::vector<Delivery> State::deliveries() const
{
    return lockedRead(deliveries_);
}

bool State::waitForDeliveries(std::size_t count, std::chrono::milliseconds timeout) const
{
    return waitUntil(timeout, [&] { return deliveries_.size() >= count; });
}

std::size_t State::pendingEvents() const
{
    std::lock_guard lock(mutex_);
    return inFlight_.size();
}

void State::clearDeliveries()
{
    std::lock_guard lock(mutex_);
    deliveries_.clear();
}

std::vector<standin::PostedEvent> State::posted() const
{
    return lockedRead(posted_);
}

bool State::waitForPosted(std::size_t count, std::chrono::milliseconds timeout) const
{
    return waitUntil(timeout, [&] { return posted_.size() >= count; });
}

void State::clearPosted()
{
    std::lock_guard lock(mutex_);
    posted_.clear();
}

void State::setLoopback(bool loopback)
{
    lockedWrite(loopback_, loopback);
}

void State::setSystemFlags(CGEventFlags flags)
{
    lockedWrite(systemFlags_, flags);
}

void State::setSecureInput(bool on)
{
    lockedWrite(secureInput_, on);
}

void State::setSecureInputAvailable(bool available)
{
    lockedWrite(secureInputAvailable_, available);
}

void State::setListenAccess(ListenAccess access)
{
    lockedWrite(listenAccess_, access);
}

CFTimeInterval State::advance(CFTimeInterval seconds)
{
    std::lock_guard lock(mutex_);
    if (seconds > 0) {
        now_ += seconds;
        monotonic_ += seconds;
    }
    return monotonic_;
}

void State::stepWallClock(CFTimeInterval seconds)
{
    std::lock_guard lock(mutex_);
    now_ += seconds;
}

bool State::waitForTimersAt(CFTimeInterval time, std::chrono::milliseconds timeout) const
{
    return waitUntil(timeout, [&] { return timersRanAt_ >= time; });
}

// --- Helpers; the caller holds mutex_.

TapRecord* State::newestTap() const { return taps_.empty() ? nullptr : taps_.back().get(); }

// An event enters the stream: the newest tap gets it when it is live,
// enabled and asked for it; otherwise it flows on untouched.
void State::enter(const TapEvent& event, bool injected)
{
    Delivery delivery;
    delivery.event = event;
    delivery.injected = injected;
    TapRecord* tap = newestTap();
    if (tap)
        delivery.tapKind = tap->kind;
    if (!tap || !tap->enabled || !tap->valid || isNotification(event.type) || !wants(tap->request, event.type)) {
        delivery.outcome = passed(event);
        settled(delivery);
        return;
    }
    inFlight_.emplace(event.id, delivery);
    tap->queue.push_back(event);
    signal(tap->eventFd);
}

void State::settled(Delivery delivery)
{
    deliveries_.push_back(std::move(delivery));
    changed_.notify_all();
}

} // namespace sim
