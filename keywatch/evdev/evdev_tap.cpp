#include "evdev_tap.h"

#include "device_watch.h"
#include "outcome_writes.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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
constexpr int64_t kLightsTag = -4;

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

std::unique_ptr<EvdevTap> EvdevTap::open(bool active, std::shared_ptr<LiveTaps> liveTaps)
{
    // A virtual keyboard comes and goes with each attempt; make none for
    // nothing to tap.
    auto keyboards = openKeyboards(listEventNodes());
    if (keyboards.empty()) {
        return nullptr;
    }
    std::unique_ptr<VirtualKeyboard> keyboard;
    if (active) {
        keyboard = VirtualKeyboard::create();
        if (!keyboard) {
            return nullptr;
        }
    }
    std::unique_ptr<EvdevTap> tap{new EvdevTap(std::move(keyboard), std::move(liveTaps))};
    if (!tap->startWatching()) {
        return nullptr;
    }
    {
        std::lock_guard lock(tap->mutex_);
        tap->addDevicesLocked(std::move(keyboards));
        if (tap->devices_.empty()) {
            return nullptr;
        }
        const bool capsLit = std::any_of(tap->devices_.begin(), tap->devices_.end(),
                                         [](const auto& entry) { return entry.second->capsLockLit(); });
        tap->tracker_.setCapsLocked(capsLit);
        tap->delivered_ = keys::DeliveredFlags(tap->tracker_.flags());
    }
    tap->liveTaps_->add(tap.get());
    tap->thread_ = std::thread([raw = tap.get()] { raw->run(); });
    return tap;
}

EvdevTap::EvdevTap(std::unique_ptr<VirtualKeyboard> keyboard, std::shared_ptr<LiveTaps> liveTaps)
    : keyboard_(std::move(keyboard))
    , liveTaps_(std::move(liveTaps))
    , watch_(std::make_unique<DeviceWatch>())
    , mainEpoll_(::epoll_create1(EPOLL_CLOEXEC))
    , threadEpoll_(::epoll_create1(EPOLL_CLOEXEC))
    , inboxFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
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
    if (keyboard_) {
        watch(threadEpoll_.get(), keyboard_->fd(), kLightsTag);
    }
    return true;
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
    devices_.clear();
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
    if (!keyboard_) {
        return;
    }
    std::lock_guard lock(mutex_);
    queue_.settle(event.id, [&](const std::vector<KeyWrite>& original) {
        return writesForOutcome(original, event, outcome);
    });
    flushLocked();
}

void EvdevTap::setEnabled(bool enabled)
{
    {
        std::lock_guard lock(mutex_);
        enabled_ = enabled;
        if (!enabled) {
            queue_.passAllWaiting();
            flushLocked();
        }
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

void EvdevTap::addDevicesLocked(std::vector<std::unique_ptr<InputDevice>> devices)
{
    for (auto& device : devices) {
        const bool known = std::any_of(devices_.begin(), devices_.end(), [&](const auto& entry) {
            return entry.second->deviceNumber() == device->deviceNumber();
        });
        const SourceId source = nextSource_;
        if (known || !watch(mainEpoll_.get(), device->fd(), source) ||
            !watch(threadEpoll_.get(), device->fd(), source, kOneEdge)) {
            continue;
        }
        ++nextSource_;
        for (const uint16_t code : device->keysDown()) {
            tracker_.noteHeld(code);
        }
        devices_.emplace(source, std::move(device));
    }
}

void EvdevTap::readDevicesLocked(const std::vector<SourceId>& sources)
{
    bool ungrabbed = false;
    for (const SourceId source : sources) {
        const auto found = devices_.find(source);
        if (found == devices_.end()) {
            continue;
        }
        InputDevice& device = *found->second;
        const ReadEnd end = device.read([&](const TimedKey& key) { handleKeyLocked(device, source, key); });
        if (end == ReadEnd::gone) {
            dropDeviceLocked(source);
            continue;
        }
        ungrabbed = ungrabbed || !device.grabbed();
    }
    if (ungrabbed && keyboard_ && enabled_) {
        signal(wakeFd_.get()); // the tap's thread grabs once no key is down
    }
}

void EvdevTap::readAllDevicesLocked()
{
    std::vector<SourceId> sources;
    for (const auto& entry : devices_) {
        sources.push_back(entry.first);
    }
    readDevicesLocked(sources);
}

void EvdevTap::handleKeyLocked(InputDevice& device, SourceId source, const TimedKey& key)
{
    const auto event = tracker_.apply(key.key);
    const bool underGrab = device.grabbed() && key.stamp >= device.grabbedSince();
    if (device.grabbed() && !underGrab && key.key.value == 1) {
        // The display server saw this press; the grab would steal its release.
        device.ungrab();
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

void EvdevTap::handlePostLocked(const standin::PostedEvent& post)
{
    const auto writes = writesForMacEvent(post.type, post.keyCode, post.flags);
    if (writes.empty()) {
        return;
    }
    std::optional<MacKeyEvent> event;
    for (const KeyWrite& write : writes) {
        const auto made = tracker_.apply(write);
        event = event ? event : made;
    }
    if (!enabled_ || !event) {
        queue_.pushDecided(writes, kPostedSource);
        flushLocked();
        return;
    }
    const uint64_t id = nextId_++;
    queue_.pushWaiting(id, writes, kPostedSource, Clock::now() + kSettleTimeout);
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

void EvdevTap::flushLocked()
{
    if (!keyboard_) {
        return;
    }
    outgoing_.clear();
    queue_.takeReady(virtualKeys_, outgoing_);
    if (!outgoing_.empty()) {
        keyboard_->emit(outgoing_);
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
    enabled_ = false;
    queue_.passAllWaiting();
    flushLocked();
    inbox_.erase(std::remove_if(inbox_.begin(), inbox_.end(),
                                [](const standin::TapEvent& event) { return !isNotification(event.type); }),
                 inbox_.end());
    if (inbox_.empty()) {
        signal(inboxFd_.get());
    }
    inbox_.push_back({0, kCGEventTapDisabledByTimeout, 0, tracker_.flags()});
}

void EvdevTap::dropDeviceLocked(SourceId source)
{
    const auto found = devices_.find(source);
    if (found == devices_.end()) {
        return;
    }
    ::epoll_ctl(mainEpoll_.get(), EPOLL_CTL_DEL, found->second->fd(), nullptr);
    ::epoll_ctl(threadEpoll_.get(), EPOLL_CTL_DEL, found->second->fd(), nullptr);
    devices_.erase(found);
    queue_.pushReleaseAll(source);
    flushLocked();
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
                auto appeared = openKeyboards(watch_->takeChanges());
                std::lock_guard lock(mutex_);
                addDevicesLocked(std::move(appeared));
            } else if (tag == kLightsTag) {
                handOnLights();
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
    if (unreadSince_) {
        const auto unreadLimit = *unreadSince_ + kSettleTimeout;
        deadline = deadline ? std::min(*deadline, unreadLimit) : unreadLimit;
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
    const auto found = devices_.find(source);
    if (found == devices_.end()) {
        return;
    }
    if (stalled_) {
        readDevicesLocked({source});
        rearm(source);
        return;
    }
    if (!readableNow(found->second->fd())) {
        rearm(source);
        return;
    }
    if (!unreadSince_) {
        unreadSince_ = Clock::now();
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
    if (!unreadSince_ || now < *unreadSince_ + kSettleTimeout) {
        return;
    }
    if (lastTake_ < *unreadSince_) {
        stallLocked();
        readAllDevicesLocked();
    }
    unreadSince_.reset();
    for (const auto& entry : devices_) {
        rearm(entry.first);
    }
}

void EvdevTap::rearm(SourceId source)
{
    const auto found = devices_.find(source);
    if (found == devices_.end()) {
        return;
    }
    epoll_event entry{};
    entry.events = kOneEdge;
    entry.data.u64 = static_cast<uint64_t>(source);
    ::epoll_ctl(threadEpoll_.get(), EPOLL_CTL_MOD, found->second->fd(), &entry);
}

void EvdevTap::grabWhereAllowed()
{
    std::lock_guard lock(mutex_);
    if (!keyboard_ || !enabled_) {
        return;
    }
    for (auto& entry : devices_) {
        entry.second->tryGrab();
    }
}

void EvdevTap::handOnLights()
{
    const auto lights = keyboard_->takeLights();
    std::lock_guard lock(mutex_);
    for (const KeyWrite& light : lights) {
        for (auto& entry : devices_) {
            if (entry.second->grabbed()) {
                entry.second->setLight(light.code, light.value != 0);
            }
        }
    }
}

}  // namespace evdev
