#include "evdev_tap.h"

#include "device_watch.h"
#include "live_taps.h"
#include "mac_keys.h"
#include "outcome_writes.h"

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
constexpr int64_t kWakeTag = -1;
constexpr int64_t kWatchTag = -2;
constexpr int64_t kLightsTag = -3;

bool watchReadable(int epoll, int fd, int64_t tag)
{
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.u64 = static_cast<uint64_t>(tag);
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &watch) == 0;
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

bool isNotification(CGEventType type)
{
    return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

}  // namespace

bool anyKeyboardReadable()
{
    const auto nodes = listEventNodes();
    return std::any_of(nodes.begin(), nodes.end(),
                       [](const std::string& node) { return InputDevice::openKeyboard(node) != nullptr; });
}

std::unique_ptr<EvdevTap> EvdevTap::open(bool active, std::shared_ptr<LiveTaps> liveTaps)
{
    std::unique_ptr<VirtualKeyboard> keyboard;
    // A virtual keyboard comes and goes with each attempt; make none for
    // nothing to tap.
    if (active && !anyKeyboardReadable()) {
        return nullptr;
    }
    if (active) {
        keyboard = VirtualKeyboard::create();
        if (!keyboard) {
            return nullptr;
        }
    }
    std::unique_ptr<EvdevTap> tap{new EvdevTap(std::move(keyboard), std::move(liveTaps))};
    if (tap->epoll_.get() < 0 || tap->inboxFd_.get() < 0 || tap->wakeFd_.get() < 0 ||
        !watchReadable(tap->epoll_.get(), tap->wakeFd_.get(), kWakeTag)) {
        return nullptr;
    }
    if (tap->watch_->fd() >= 0) {
        watchReadable(tap->epoll_.get(), tap->watch_->fd(), kWatchTag);
    }
    if (tap->keyboard_) {
        watchReadable(tap->epoll_.get(), tap->keyboard_->fd(), kLightsTag);
    }
    tap->addDevicesAt(listEventNodes());
    if (tap->devices_.empty()) {
        return nullptr;
    }
    const bool capsLit = std::any_of(tap->devices_.begin(), tap->devices_.end(),
                                     [](const auto& entry) { return entry.second->capsLockLit(); });
    tap->tracker_.setCapsLocked(capsLit);
    tap->lastFlags_ = tap->tracker_.flags();
    tap->liveTaps_->add(tap.get());
    tap->thread_ = std::thread([raw = tap.get()] { raw->run(); });
    return tap;
}

EvdevTap::EvdevTap(std::unique_ptr<VirtualKeyboard> keyboard, std::shared_ptr<LiveTaps> liveTaps)
    : watch_(std::make_unique<DeviceWatch>())
    , epoll_(::epoll_create1(EPOLL_CLOEXEC))
    , keyboard_(std::move(keyboard))
    , liveTaps_(std::move(liveTaps))
    , inboxFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

EvdevTap::~EvdevTap()
{
    liveTaps_->remove(this);
    if (thread_.joinable()) {
        stopping_ = true;
        signal(wakeFd_.get());
        thread_.join();
    }
    devices_.clear();
}

// Keyboards ------------------------------------------------------------------

bool EvdevTap::addDevice(std::unique_ptr<InputDevice> device)
{
    for (const auto& [source, known] : devices_) {
        if (known->deviceNumber() == device->deviceNumber()) {
            return false;
        }
    }
    const SourceId source = nextSource_++;
    if (!watchReadable(epoll_.get(), device->fd(), source)) {
        return false;
    }
    for (const uint16_t code : device->keysDown()) {
        tracker_.noteHeld(code);
    }
    devices_.emplace(source, std::move(device));
    return true;
}

void EvdevTap::addDevicesAt(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        if (auto device = InputDevice::openKeyboard(path)) {
            addDevice(std::move(device));
        }
    }
}

// The main thread's side ---------------------------------------------------------

std::vector<standin::TapEvent> EvdevTap::takePending()
{
    while (!delivered_.empty() && delivered_.front().id == 0) {
        lastFlags_ = delivered_.front().flags;
        delivered_.pop_front();
    }
    std::vector<standin::TapEvent> taken;
    {
        std::lock_guard lock(mutex_);
        drain(inboxFd_.get());
        taken.swap(inbox_);
    }
    for (const standin::TapEvent& event : taken) {
        delivered_.push_back({isNotification(event.type) ? 0 : event.id, event.flags});
    }
    return taken;
}

void EvdevTap::settle(const standin::TapEvent& event, const standin::EventOutcome& outcome)
{
    while (!delivered_.empty()) {
        const Delivered front = delivered_.front();
        delivered_.pop_front();
        lastFlags_ = front.flags;
        if (front.id == event.id) {
            break;
        }
    }
    if (!keyboard_) {
        return;
    }
    std::lock_guard lock(mutex_);
    queue_.settle(event.id, [&](const std::vector<KeyWrite>& original) {
        return writesForOutcome(original, event, outcome);
    });
    flushLocked();
}

CGEventFlags EvdevTap::currentFlags() const
{
    return delivered_.empty() ? lastFlags_ : delivered_.front().flags;
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
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(event);
    }
    signal(wakeFd_.get());
}

// The tap's thread ---------------------------------------------------------------

void EvdevTap::run()
{
    std::array<epoll_event, 16> ready{};
    while (!stopping_) {
        const int count = ::epoll_wait(epoll_.get(), ready.data(), static_cast<int>(ready.size()),
                                       millisecondsToDeadline());
        if (stopping_) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            const auto tag = static_cast<int64_t>(ready[static_cast<size_t>(i)].data.u64);
            if (tag == kWakeTag) {
                drain(wakeFd_.get());
            } else if (tag == kWatchTag) {
                addDevicesAt(watch_->takeChanges());
            } else if (tag == kLightsTag) {
                handOnLights();
            } else {
                readDevice(static_cast<SourceId>(tag));
            }
        }
        handlePosted();
        grabWhereAllowed();
        expireIfDue();
    }
}

int EvdevTap::millisecondsToDeadline()
{
    std::lock_guard lock(mutex_);
    const auto deadline = queue_.nextDeadline();
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(left, 0));
}

void EvdevTap::readDevice(SourceId source)
{
    const auto found = devices_.find(source);
    if (found == devices_.end()) {
        return;
    }
    InputDevice& device = *found->second;
    const ReadEnd end = device.read([&](const TimedKey& key) { handleKey(device, source, key); });
    if (end == ReadEnd::drained) {
        return;
    }
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, device.fd(), nullptr);
    devices_.erase(found);
    std::lock_guard lock(mutex_);
    queue_.pushReleaseAll(source);
    flushLocked();
}

void EvdevTap::handleKey(InputDevice& device, SourceId source, const TimedKey& key)
{
    const auto event = tracker_.apply(key.key);
    const bool underGrab = device.grabbed() && key.stamp >= device.grabbedSince();
    if (device.grabbed() && !underGrab && key.key.value == 1) {
        // The display server saw this press; the grab would steal its release.
        device.ungrab();
    }
    std::lock_guard lock(mutex_);
    if (!enabled_) {
        if (underGrab) {
            queue_.pushDecided({key.key}, source);
            flushLocked();
        }
        return;
    }
    if (!underGrab) {
        if (event) {
            deliverLocked(*event, nextIdLocked());
        }
        return;
    }
    if (!event) {
        queue_.pushDecided({key.key}, source);
        flushLocked();
        return;
    }
    const uint64_t id = nextIdLocked();
    queue_.pushWaiting(id, {key.key}, source, Clock::now() + kSettleTimeout);
    deliverLocked(*event, id);
}

void EvdevTap::handlePosted()
{
    std::vector<standin::PostedEvent> posted;
    {
        std::lock_guard lock(mutex_);
        posted.swap(posted_);
    }
    for (const standin::PostedEvent& post : posted) {
        const auto writes = writesForMacEvent(post.type, post.keyCode, post.flags);
        if (writes.empty()) {
            continue;
        }
        std::optional<MacKeyEvent> event;
        for (const KeyWrite& write : writes) {
            const auto made = tracker_.apply(write);
            event = event ? event : made;
        }
        std::lock_guard lock(mutex_);
        if (!enabled_ || !event) {
            queue_.pushDecided(writes, kPostedSource);
            flushLocked();
            continue;
        }
        const uint64_t id = nextIdLocked();
        queue_.pushWaiting(id, writes, kPostedSource, Clock::now() + kSettleTimeout);
        deliverLocked(*event, id);
    }
}

void EvdevTap::handOnLights()
{
    for (const KeyWrite& light : keyboard_->takeLights()) {
        for (auto& [source, device] : devices_) {
            if (device->grabbed()) {
                device->setLight(light.code, light.value != 0);
            }
        }
    }
}

void EvdevTap::grabWhereAllowed()
{
    if (!keyboard_ || !isEnabled()) {
        return;
    }
    for (auto& [source, device] : devices_) {
        device->tryGrab();
    }
}

void EvdevTap::expireIfDue()
{
    std::lock_guard lock(mutex_);
    const auto deadline = queue_.nextDeadline();
    if (!deadline || Clock::now() < *deadline) {
        return;
    }
    enabled_ = false;
    queue_.passAllWaiting();
    flushLocked();
    // What the callback has not been handed yet went out unchanged.
    inbox_.erase(std::remove_if(inbox_.begin(), inbox_.end(),
                                [](const standin::TapEvent& event) { return !isNotification(event.type); }),
                 inbox_.end());
    if (inbox_.empty()) {
        signal(inboxFd_.get());
    }
    inbox_.push_back({0, kCGEventTapDisabledByTimeout, 0, tracker_.flags()});
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

}  // namespace evdev
