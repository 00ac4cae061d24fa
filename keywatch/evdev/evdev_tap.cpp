#include "evdev_tap.h"

#include "device_watch.h"
#include "login_seat.h"
#include "mac_keys.h"
#include "outcome_writes.h"
#include "tap_guard.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>

namespace evdev {

namespace {

// epoll tags besides the keyboards' sources, which are 0 or more.
constexpr int64_t kInboxTag = -1;
constexpr int64_t kWakeTag = -2;
constexpr int64_t kWatchTag = -3;
constexpr int64_t kOpensTag = -4;
constexpr int64_t kSessionTag = -5;
// A keyboard's virtual keyboard: its lights.
constexpr int64_t kLightsBase = int64_t{1} << 40;

// The tap's thread hears of each keyboard's data once, then looks again
// only when it re-arms: a healthy main thread costs it no wake-up per key.
constexpr uint32_t kOneEdge = EPOLLIN | EPOLLET | EPOLLONESHOT;

bool watch(int epoll, int fd, int64_t tag, uint32_t events = EPOLLIN)
{
    epoll_event entry{};
    entry.events = events;
    entry.data.u64 = static_cast<uint64_t>(tag);
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &entry) == 0;
}

void signal(int eventFd)
{
    const uint64_t one = 1;
    std::ignore = ::write(eventFd, &one, sizeof one);
}

void drain(int eventFd)
{
    uint64_t count = 0;
    std::ignore = ::read(eventFd, &count, sizeof count);
}

bool readableNow(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

bool isNotification(CGEventType type)
{
    return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

bool isCapsLock(const standin::TapEvent& event)
{
    return event.type == kCGEventFlagsChanged && event.keyCode == keys::kMacCapsLock;
}

// Whether a program other than this one holds the grab of the node: then
// what goes out there comes back in through that program.
bool grabbedByAnother(const std::string& node)
{
    const keys::UniqueFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0 && grabRefusal(fd.get()) != 0;
}

}  // namespace

std::vector<std::unique_ptr<InputDevice>> openKeyboards(const std::vector<std::string>& paths)
{
    std::vector<std::unique_ptr<InputDevice>> keyboards;
    for (const std::string& path : paths) {
        if (auto keyboard = InputDevice::openKeyboard(path)) {
            keyboards.push_back(std::move(keyboard));
        }
    }
    return keyboards;
}

bool anyKeyboardReadable()
{
    const auto nodes = listEventNodes();
    return std::any_of(nodes.begin(), nodes.end(),
                       [](const std::string& node) { return InputDevice::openKeyboard(node) != nullptr; });
}

std::unique_ptr<EvdevTap> EvdevTap::open(bool active, std::shared_ptr<LiveTaps> liveTaps,
                                          std::shared_ptr<TapGuard> guard)
{
    std::unique_ptr<EvdevTap> tap{new EvdevTap(active, std::move(liveTaps), std::move(guard))};
    if (!tap->startWatching()) {
        return nullptr;
    }
    auto keyboards = tap->prepare(listEventNodes(), true);
    const bool anyToTake = std::any_of(keyboards.begin(), keyboards.end(),
                                       [](const Keyboard& keyboard) { return keyboard.output != nullptr; });
    // A session in the background starts with nothing and waits its turn.
    const bool waiting = !tap->sessionActive_;
    if (!waiting && (keyboards.empty() || (active && !anyToTake))) {
        return nullptr;
    }
    {
        std::lock_guard lock(tap->mutex_);
        // What the display server believes before the grab; the lock is
        // turned off once keywatch can act on it.
        tap->displayCapsLit_ = std::any_of(keyboards.begin(), keyboards.end(),
                                           [](const Keyboard& keyboard) { return keyboard.device->capsLockLit(); });
        tap->addKeyboardsLocked(std::move(keyboards));
        if (tap->keyboards_.empty() && !waiting) {
            return nullptr;
        }
        tap->delivered_ = keys::DeliveredFlags(tap->tracker_.flags());
    }
    tap->liveTaps_->add(tap.get());
    tap->thread_ = std::thread([raw = tap.get()] { raw->run(); });
    return tap;
}

EvdevTap::EvdevTap(bool active, std::shared_ptr<LiveTaps> liveTaps, std::shared_ptr<TapGuard> guard)
    : active_(active)
    , seenTakeovers_(guard ? guard->takeovers() : 0)
    , seat_(LoginSeat::open())
    , sessionActive_(seat_->active())
    , liveTaps_(std::move(liveTaps))
    , guard_(std::move(guard))
    , watch_(std::make_unique<DeviceWatch>())
    , mainEpoll_(::epoll_create1(EPOLL_CLOEXEC))
    , threadEpoll_(::epoll_create1(EPOLL_CLOEXEC))
    , inboxFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , outputOpens_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
}

bool EvdevTap::startWatching()
{
    if (mainEpoll_.get() < 0 || threadEpoll_.get() < 0 || inboxFd_.get() < 0 || wakeFd_.get() < 0) {
        return false;
    }
    if (!watch(mainEpoll_.get(), inboxFd_.get(), kInboxTag) || !watch(threadEpoll_.get(), wakeFd_.get(), kWakeTag)) {
        return false;
    }
    if (watch_->fd() >= 0) {
        watch(threadEpoll_.get(), watch_->fd(), kWatchTag);
    }
    if (outputOpens_.get() >= 0) {
        watch(threadEpoll_.get(), outputOpens_.get(), kOpensTag);
    }
    if (seat_->fd() >= 0) {
        watch(threadEpoll_.get(), seat_->fd(), kSessionTag);
    }
    return true;
}

// Outside the lock: making a virtual keyboard takes the kernel a while.
// An active tap takes a keyboard only where it can re-emit its keys; the
// rest it only listens to: keyboards that are also pointers, and another
// keywatch's virtual keyboards, whose keys it hears as that keywatch
// passes them. At the start it also leaves alone the keyboards another
// program holds, so that a tap with nothing to take is not made at all.
// Later a grab refused is only tried again: the holder may be a program
// that merely looks, as keywatch itself does here.
std::vector<EvdevTap::Keyboard> EvdevTap::prepare(const std::vector<std::string>& paths, bool leaveHeld)
{
    std::vector<Keyboard> prepared;
    if (!sessionActive_) {
        return prepared;
    }
    for (auto& device : openKeyboards(paths)) {
        if (!seat_->ownsDevice(device->deviceNumber()) || isKnown(*device)) {
            continue;
        }
        Keyboard keyboard;
        keyboard.device = std::move(device);
        const InputDevice& found = *keyboard.device;
        const bool takeable = active_ && !found.isPointer() && !found.isKeywatchOutput();
        if (takeable && !(leaveHeld && keyboard.device->heldElsewhere())) {
            keyboard.output = VirtualKeyboard::createFor(found.identity());
            keyboard.outputSince = Clock::now();
        }
        prepared.push_back(std::move(keyboard));
    }
    return prepared;
}

bool EvdevTap::isKnown(const InputDevice& device)
{
    std::lock_guard lock(mutex_);
    return std::any_of(keyboards_.begin(), keyboards_.end(), [&](const auto& entry) {
        const InputDevice& known = *entry.second.device;
        return known.deviceNumber() == device.deviceNumber() && known.inputName() == device.inputName();
    });
}

EvdevTap::~EvdevTap()
{
    liveTaps_->remove(this);
    if (thread_.joinable()) {
        stopping_ = true;
        signal(wakeFd_.get());
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    for (auto& entry : keyboards_) {
        if (guard_) {
            guard_->forget(entry.second.guardSlot);
        }
    }
    keyboards_.clear();
}

// The main thread's side -----------------------------------------------------------

std::vector<standin::TapEvent> EvdevTap::takePending()
{
    delivered_.startBatch();
    std::array<epoll_event, 16> ready{};
    const int count = ::epoll_wait(mainEpoll_.get(), ready.data(), static_cast<int>(ready.size()), 0);
    std::vector<SourceId> sources;
    for (int i = 0; i < count; ++i) {
        const auto tag = static_cast<int64_t>(ready[static_cast<size_t>(i)].data.u64);
        if (tag >= 0) {
            sources.push_back(static_cast<SourceId>(tag));
        }
    }
    std::vector<standin::TapEvent> taken;
    {
        std::lock_guard lock(mutex_);
        stalled_ = false;
        readDevicesLocked(sources);
        lastTake_ = Clock::now();
        drain(inboxFd_.get());
        taken.swap(inbox_);
    }
    for (const standin::TapEvent& event : taken) {
        delivered_.handedOut(event.id, event.flags);
    }
    return taken;
}

void EvdevTap::settle(const standin::TapEvent& event, const standin::EventOutcome& outcome)
{
    delivered_.settled(event.id);
    if (!active_) {
        return;
    }
    std::lock_guard lock(mutex_);
    reclaimFromGuardLocked();
    const bool settled = queue_.settle(event.id, [&](const std::vector<KeyWrite>& original) {
        return writesForOutcome(original, event, outcome);
    });
    flushLocked();
    if (settled && isCapsLock(event) && outcome.disposition == standin::Disposition::deleted) {
        // Each push-to-talk press is another chance to set the lock right.
        capsFixSent_ = false;
        correctCapsLockLocked();
    }
}

void EvdevTap::setEnabled(bool enabled)
{
    {
        std::lock_guard lock(mutex_);
        reclaimFromGuardLocked();
        enabled_ = enabled;
        if (!enabled) {
            queue_.passAllWaiting();
            flushLocked();
        }
        correctCapsLockLocked();
    }
    signal(wakeFd_.get());
}

bool EvdevTap::isEnabled() const
{
    std::lock_guard lock(mutex_);
    return enabled_;
}

void EvdevTap::post(const standin::PostedEvent& event)
{
    std::lock_guard lock(mutex_);
    handlePostLocked(event);
}

// Reading, on whichever thread holds the lock ---------------------------------------------

void EvdevTap::addKeyboardsLocked(std::vector<Keyboard> keyboards)
{
    for (Keyboard& keyboard : keyboards) {
        InputDevice& device = *keyboard.device;
        // The same node with another input device behind it: the old
        // keyboard went while keywatch was busy.
        for (auto it = keyboards_.begin(); it != keyboards_.end();) {
            const SourceId old = it->first;
            ++it;
            if (keyboards_.at(old).device->deviceNumber() == device.deviceNumber()) {
                dropKeyboardLocked(old);
            }
        }
        const SourceId source = nextSource_;
        if (!watch(mainEpoll_.get(), device.fd(), source) || !watch(threadEpoll_.get(), device.fd(), source, kOneEdge)) {
            continue;
        }
        ++nextSource_;
        for (const uint16_t code : device.keysDown()) {
            tracker_.noteHeld(code);
        }
        if (keyboard.output) {
            watch(threadEpoll_.get(), keyboard.output->fd(), kLightsBase + source);
            const std::string node = keyboard.output->devnode();
            if (outputOpens_.get() >= 0 && !node.empty()) {
                keyboard.openWatch = ::inotify_add_watch(outputOpens_.get(), node.c_str(), IN_OPEN);
            }
            if (guard_) {
                keyboard.guardSlot = guard_->watch(device.fd(), keyboard.output->fd());
            }
        }
        keyboards_.emplace(source, std::move(keyboard));
    }
}

void EvdevTap::readDevicesLocked(const std::vector<SourceId>& sources)
{
    reclaimFromGuardLocked();
    bool ungrabbed = false;
    for (const SourceId source : sources) {
        const auto found = keyboards_.find(source);
        if (found == keyboards_.end()) {
            continue;
        }
        InputDevice& device = *found->second.device;
        const ReadEnd end = device.read([&](const TimedKey& key) { handleKeyLocked(device, source, key); });
        if (end == ReadEnd::gone) {
            dropKeyboardLocked(source);
            continue;
        }
        ungrabbed = ungrabbed || (found->second.output && !device.grabbed());
    }
    if (guard_) {
        guard_->noteRead();
    }
    if (ungrabbed && enabled_) {
        signal(wakeFd_.get()); // the tap's thread grabs once no key is down
    }
}

void EvdevTap::readAllDevicesLocked()
{
    std::vector<SourceId> sources;
    for (const auto& entry : keyboards_) {
        sources.push_back(entry.first);
    }
    readDevicesLocked(sources);
}

void EvdevTap::handleKeyLocked(InputDevice& device, SourceId source, const TimedKey& key)
{
    // A Caps Lock press the callback never sees is no push-to-talk: it
    // went to the display server, whose lock is then turned off again.
    const bool unseenCaps = !enabled_ && key.key.code == KEY_CAPSLOCK;
    std::optional<MacKeyEvent> event;
    if (!unseenCaps) {
        event = tracker_.apply(key.key);
    }
    const bool underGrab = device.grabbed() && key.stamp >= device.grabbedSince();
    if (device.grabbed() && !underGrab && key.key.value == 1) {
        // The display server saw this press; the grab would steal its release.
        device.ungrab();
        if (guard_) {
            guard_->setGrabbed(keyboards_.at(source).guardSlot, false);
        }
    }
    if (underGrab) {
        lastTyped_ = source;
    }
    if (!enabled_) {
        if (underGrab) {
            queue_.pushDecided({key.key}, source);
            flushLocked();
        }
        return;
    }
    if (!underGrab) {
        if (event) {
            deliverLocked(*event, nextId_++);
        }
        return;
    }
    if (!event) {
        queue_.pushDecided({key.key}, source);
        flushLocked();
        return;
    }
    const uint64_t id = nextId_++;
    queue_.pushWaiting(id, {key.key}, source, Clock::now() + kSettleTimeout);
    deliverLocked(*event, id);
}

// Posted keys go out where the user last typed, as if typed there.
std::optional<SourceId> EvdevTap::postTargetLocked() const
{
    const auto typed = keyboards_.find(lastTyped_);
    if (typed != keyboards_.end() && typed->second.output) {
        return lastTyped_;
    }
    for (const auto& entry : keyboards_) {
        if (entry.second.output) {
            return entry.first;
        }
    }
    return std::nullopt;
}

void EvdevTap::handlePostLocked(const standin::PostedEvent& post)
{
    reclaimFromGuardLocked();
    const auto writes = writesForMacEvent(post.type, post.keyCode, post.flags);
    const auto target = postTargetLocked();
    if (writes.empty() || !target) {
        return;
    }
    std::optional<MacKeyEvent> event;
    for (const KeyWrite& write : writes) {
        const auto made = tracker_.apply(write);
        event = event ? event : made;
    }
    if (!enabled_ || !event) {
        queue_.pushDecided(writes, *target);
        flushLocked();
        return;
    }
    const uint64_t id = nextId_++;
    queue_.pushWaiting(id, writes, *target, Clock::now() + kSettleTimeout);
    deliverLocked(*event, id);
}

void EvdevTap::deliverLocked(const MacKeyEvent& event, uint64_t id)
{
    // The main thread empties the counter and the inbox together, so one
    // signal stands for everything added until then.
    if (inbox_.empty()) {
        signal(inboxFd_.get());
    }
    inbox_.push_back({id, event.type, event.keyCode, event.flags});
}

// Each run of writes for one keyboard goes out in one write on its
// virtual keyboard; writes for a keyboard that has gone are dropped.
void EvdevTap::flushLocked()
{
    if (!active_) {
        return;
    }
    outgoing_.clear();
    queue_.takeReady(virtualKeys_, outgoing_);
    std::vector<KeyWrite> run;
    for (size_t i = 0; i < outgoing_.size(); ++i) {
        run.push_back(outgoing_[i].key);
        const SourceId source = outgoing_[i].source;
        if (i + 1 < outgoing_.size() && outgoing_[i + 1].source == source) {
            continue;
        }
        const auto found = keyboards_.find(source);
        if (found != keyboards_.end() && found->second.output) {
            found->second.output->emit(run);
        }
        run.clear();
    }
}

// The callback is held up: what waits goes out unchanged, and so does
// everything until it enables the tap again.
void EvdevTap::stallLocked()
{
    stalled_ = true;
    if (!enabled_) {
        return;
    }
    queue_.passAllWaiting();
    flushLocked();
    notifyDisabledLocked();
}

void EvdevTap::notifyDisabledLocked()
{
    enabled_ = false;
    inbox_.erase(std::remove_if(inbox_.begin(), inbox_.end(),
                                [](const standin::TapEvent& event) { return !isNotification(event.type); }),
                 inbox_.end());
    if (inbox_.empty()) {
        signal(inboxFd_.get());
    }
    inbox_.push_back({0, kCGEventTapDisabledByTimeout, 0, tracker_.flags()});
}

// The guard let every grab go and released every key while keywatch could
// not run. What waited here was sent on by the guard or is too late to
// send; the tap is disabled as if by a time-out, and the callback enables
// it again, which grabs anew once no key is down.
void EvdevTap::reclaimFromGuardLocked()
{
    if (!guard_ || guard_->takeovers() == seenTakeovers_) {
        return;
    }
    seenTakeovers_ = guard_->takeovers();
    for (auto& entry : keyboards_) {
        entry.second.device->grabLost();
    }
    virtualKeys_.clear();
    queue_.clear();
    if (enabled_) {
        notifyDisabledLocked();
    }
    // What was typed meanwhile reached the display server, not the
    // callback: it is read now, before anything can enable the tap again.
    readAllDevicesLocked();
}

void EvdevTap::dropKeyboardLocked(SourceId source)
{
    const auto found = keyboards_.find(source);
    if (found == keyboards_.end()) {
        return;
    }
    Keyboard& keyboard = found->second;
    ::epoll_ctl(mainEpoll_.get(), EPOLL_CTL_DEL, keyboard.device->fd(), nullptr);
    ::epoll_ctl(threadEpoll_.get(), EPOLL_CTL_DEL, keyboard.device->fd(), nullptr);
    letOutputGoLocked(keyboard);
    keyboards_.erase(found);
    // Its virtual keyboard released what it held as it went.
    queue_.pushReleaseAll(source);
    flushLocked();
}

void EvdevTap::letOutputGoLocked(Keyboard& keyboard)
{
    keyboard.device->ungrab();
    if (guard_) {
        guard_->forget(keyboard.guardSlot);
    }
    keyboard.guardSlot = -1;
    if (keyboard.openWatch >= 0) {
        ::inotify_rm_watch(outputOpens_.get(), keyboard.openWatch);
        keyboard.openWatch = -1;
    }
    if (keyboard.output) {
        ::epoll_ctl(threadEpoll_.get(), EPOLL_CTL_DEL, keyboard.output->fd(), nullptr);
        keyboard.output.reset();
    }
}

// The Caps Lock presses that push-to-talk takes never reach the display
// server, but others may: one typed before the grab, during a time-out,
// or on a keyboard that is not grabbed, and the lock may have been on
// when keywatch started. Whenever the display server's lock is on while
// push-to-talk is not held, one Caps Lock press and release turns it off.
void EvdevTap::correctCapsLockLocked()
{
    reclaimFromGuardLocked();
    if (!enabled_ || !displayCapsLit_ || capsFixSent_ || tracker_.capsLocked()) {
        return;
    }
    for (const auto& entry : keyboards_) {
        if (entry.second.output && entry.second.device->grabbed()) {
            queue_.pushDecided({{KEY_CAPSLOCK, 1}, {KEY_CAPSLOCK, 0}}, entry.first);
            flushLocked();
            capsFixSent_ = true;
            return;
        }
    }
}

// The tap's thread -------------------------------------------------------------------

void EvdevTap::run()
{
    std::array<epoll_event, 16> ready{};
    while (!stopping_) {
        const int count = ::epoll_wait(threadEpoll_.get(), ready.data(), static_cast<int>(ready.size()),
                                       millisecondsToDeadline());
        if (stopping_) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            const auto tag = static_cast<int64_t>(ready[static_cast<size_t>(i)].data.u64);
            if (tag == kWakeTag) {
                drain(wakeFd_.get());
            } else if (tag == kWatchTag) {
                auto appeared = prepare(watch_->takeChanges(), false);
                std::lock_guard lock(mutex_);
                addKeyboardsLocked(std::move(appeared));
            } else if (tag == kOpensTag) {
                noticeOutputOpens();
            } else if (tag == kSessionTag) {
                followSession();
            } else if (tag >= kLightsBase) {
                handOnLights(static_cast<SourceId>(tag - kLightsBase));
            } else if (tag >= 0) {
                noticeUnread(static_cast<SourceId>(tag));
            }
        }
        expireIfDue();
        grabWhereAllowed();
    }
}

int EvdevTap::millisecondsToDeadline()
{
    std::lock_guard lock(mutex_);
    std::optional<Clock::time_point> deadline = queue_.nextDeadline();
    auto consider = [&](Clock::time_point when) { deadline = deadline ? std::min(*deadline, when) : when; };
    if (unreadSince_) {
        consider(*unreadSince_ + kUnreadLimit);
    }
    if (enabled_) {
        const auto now = Clock::now();
        for (const auto& entry : keyboards_) {
            const Keyboard& keyboard = entry.second;
            if (!keyboard.output || keyboard.device->grabbed()) {
                continue;
            }
            const auto settled = keyboard.outputSince + kOutputSettle;
            if (settled > now) {
                consider(settled);
            }
            if (keyboard.retryAt) {
                consider(*keyboard.retryAt);
            }
        }
    }
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(left, 0));
}

// A keyboard has data. The main thread normally reads it at once; the
// first time it is found still there starts the clock.
void EvdevTap::noticeUnread(SourceId source)
{
    std::lock_guard lock(mutex_);
    const auto found = keyboards_.find(source);
    if (found == keyboards_.end()) {
        return;
    }
    if (stalled_) {
        readDevicesLocked({source});
        rearm(source);
        return;
    }
    if (!readableNow(found->second.device->fd())) {
        rearm(source);
        return;
    }
    if (!unreadSince_) {
        unreadSince_ = Clock::now();
    }
}

// Another session in front: every keyboard is let go, its virtual
// keyboard removed, and nothing is read until this session is back.
void EvdevTap::followSession()
{
    seat_->takeChanges();
    const bool active = seat_->active();
    if (active == sessionActive_.exchange(active)) {
        return;
    }
    if (active) {
        auto keyboards = prepare(listEventNodes(), false);
        std::lock_guard lock(mutex_);
        addKeyboardsLocked(std::move(keyboards));
        return;
    }
    std::lock_guard lock(mutex_);
    std::vector<SourceId> sources;
    for (const auto& entry : keyboards_) {
        sources.push_back(entry.first);
    }
    for (const SourceId source : sources) {
        dropKeyboardLocked(source);
    }
}

void EvdevTap::noticeOutputOpens()
{
    alignas(inotify_event) std::array<char, 1024> buffer{};
    std::lock_guard lock(mutex_);
    for (;;) {
        const ssize_t length = ::read(outputOpens_.get(), buffer.data(), buffer.size());
        if (length <= 0) {
            return;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            for (auto& entry : keyboards_) {
                Keyboard& keyboard = entry.second;
                if (keyboard.openWatch == event->wd && (event->mask & IN_OPEN) != 0) {
                    keyboard.outputTaken = true;
                    ::inotify_rm_watch(outputOpens_.get(), keyboard.openWatch);
                    keyboard.openWatch = -1;
                }
            }
        }
    }
}

void EvdevTap::expireIfDue()
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    const auto waiting = queue_.nextDeadline();
    if (waiting && now >= *waiting) {
        stallLocked();
    }
    if (!unreadSince_ || now < *unreadSince_ + kUnreadLimit) {
        return;
    }
    if (lastTake_ < *unreadSince_) {
        stallLocked();
        readAllDevicesLocked();
    }
    unreadSince_.reset();
    for (const auto& entry : keyboards_) {
        rearm(entry.first);
    }
}

void EvdevTap::rearm(SourceId source)
{
    const auto found = keyboards_.find(source);
    if (found == keyboards_.end()) {
        return;
    }
    epoll_event entry{};
    entry.events = kOneEdge;
    entry.data.u64 = static_cast<uint64_t>(source);
    ::epoll_ctl(threadEpoll_.get(), EPOLL_CTL_MOD, found->second.device->fd(), &entry);
}

// A keyboard is grabbed once the desktop has its virtual keyboard (keys
// sent there before would reach nobody), and only while none of its keys
// is down. A keyboard made by a program may be fed from keywatch's own
// virtual keyboards: it is taken only after its virtual keyboard has
// waited its full time, and only if no other program has grabbed that
// virtual keyboard meanwhile, which would make a loop.
void EvdevTap::grabWhereAllowed()
{
    std::lock_guard lock(mutex_);
    reclaimFromGuardLocked();
    if (!active_ || !enabled_) {
        return;
    }
    const auto now = Clock::now();
    bool grabbedAny = false;
    for (auto& entry : keyboards_) {
        Keyboard& keyboard = entry.second;
        if (!keyboard.output || keyboard.device->grabbed()) {
            continue;
        }
        const bool settled = now >= keyboard.outputSince + kOutputSettle;
        if (!settled && (keyboard.device->madeByProgram() || !keyboard.outputTaken)) {
            continue;
        }
        if (keyboard.retryAt && now < *keyboard.retryAt) {
            continue;
        }
        if (keyboard.device->madeByProgram() && grabbedByAnother(keyboard.output->devnode())) {
            letOutputGoLocked(keyboard);
            continue;
        }
        const GrabResult result = keyboard.device->tryGrab();
        if (result == GrabResult::heldElsewhere) {
            keyboard.retryDelay = std::clamp(2 * keyboard.retryDelay, kFirstRetry, kLongestRetry);
            keyboard.retryAt = now + keyboard.retryDelay;
            continue;
        }
        keyboard.retryAt.reset();
        keyboard.retryDelay = std::chrono::milliseconds{0};
        if (result == GrabResult::grabbed && guard_) {
            guard_->setGrabbed(keyboard.guardSlot, true);
        }
        grabbedAny = grabbedAny || result == GrabResult::grabbed;
    }
    if (grabbedAny) {
        correctCapsLockLocked();
    }
}

void EvdevTap::handOnLights(SourceId source)
{
    std::lock_guard lock(mutex_);
    reclaimFromGuardLocked();
    const auto found = keyboards_.find(source);
    if (found == keyboards_.end() || !found->second.output) {
        return;
    }
    Keyboard& keyboard = found->second;
    for (const KeyWrite& light : keyboard.output->takeLights()) {
        if (keyboard.device->grabbed()) {
            keyboard.device->setLight(light.code, light.value != 0);
        }
        if (light.code == LED_CAPSL) {
            displayCapsLit_ = light.value != 0;
            capsFixSent_ = false;
        }
    }
    correctCapsLockLocked();
}

}  // namespace evdev
