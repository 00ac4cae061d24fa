// Run loops on poll(): descriptor sources, timers on the backend's monotonic clock,
// modes, and a wake-up descriptor so other threads can stop or wake them.
#include "run_loop.h"

#include "backend.h"
#include "cf_string.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

using standin::Object;
using standin::Ref;

namespace {

const std::string kCommon = "kCFRunLoopCommonModes";
const std::string kDefault = "kCFRunLoopDefaultMode";

// The modes that "common modes" stands for.
bool isCommonMode(const std::string& mode) { return mode == kDefault; }

bool entryInMode(const std::vector<std::string>& modes, const std::string& mode)
{
    for (const auto& each : modes) {
        if (each == mode || (each == kCommon && isCommonMode(mode)))
            return true;
    }
    return false;
}

bool itemIsValid(Object* item, bool isTimer)
{
    if (isTimer)
        return static_cast<__CFRunLoopTimer*>(item)->isValid();
    return static_cast<__CFRunLoopSource*>(item)->isValid();
}

// Every live loop, so a moved clock can wake them all. Lives as long as
// the process, since loops of other threads may end while it exits.
struct Registry {
    std::mutex mutex;
    std::set<__CFRunLoop*> loops;
};

Registry& registry()
{
    static auto* theRegistry = std::make_unique<Registry>().release();
    return *theRegistry;
}

// Runs `action` on `loop` only while it is alive. Other threads stop and
// wake loops they hold no reference to; a loop's thread may end (and
// release it) the moment it sees the stop, so the registry's lock keeps
// the loop from being freed during the call.
template <class Action>
void withLiveLoop(CFRunLoopRef loop, Action action)
{
    std::lock_guard lock(registry().mutex);
    if (registry().loops.count(loop))
        action(*loop);
}

} // namespace

__CFRunLoop::__CFRunLoop() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    std::lock_guard lock(registry().mutex);
    registry().loops.insert(this);
}

__CFRunLoop::~__CFRunLoop()
{
    {
        std::lock_guard lock(registry().mutex);
        registry().loops.erase(this);
    }
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void __CFRunLoop::wake()
{
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

// Unlike the native loop, which drops a stop while it is not running, a
// stop here always ends the next run. Tests can then stop a loop from
// another thread without racing its start; keywatch must not rely on it.
void __CFRunLoop::stop()
{
    stopRequested_.store(true);
    wake();
}

void __CFRunLoop::add(Object* item, bool isTimer, const std::string& mode)
{
    if (!item || mode.empty() || !itemIsValid(item, isTimer))
        return;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& entry) { return entry.item.get() == item; });
        if (found == entries_.end())
            found = entries_.insert(entries_.end(), Entry{Ref<Object>::retaining(item), isTimer, {}});
        if (std::find(found->modes.begin(), found->modes.end(), mode) == found->modes.end())
            found->modes.push_back(mode);
    }
    wake();
}

void __CFRunLoop::remove(Object* item, const std::string& mode)
{
    Ref<Object> dropped; // released after the lock
    std::lock_guard lock(mutex_);
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& entry) { return entry.item.get() == item; });
    if (found == entries_.end())
        return;
    std::erase(found->modes, mode);
    if (!found->modes.empty())
        return;
    dropped = std::move(found->item);
    entries_.erase(found);
}

bool __CFRunLoop::contains(Object* item, const std::string& mode)
{
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.item.get() == item)
            return entryInMode(entry.modes, mode) && itemIsValid(item, entry.isTimer);
    }
    return false;
}

__CFRunLoop::Snapshot __CFRunLoop::snapshot(const std::string& mode)
{
    Snapshot items;
    std::vector<Ref<Object>> dropped; // released after the lock
    std::lock_guard lock(mutex_);
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        Object* item = entry->item.get();
        if (!itemIsValid(item, entry->isTimer)) {
            dropped.push_back(std::move(entry->item));
            entry = entries_.erase(entry);
            continue;
        }
        if (entryInMode(entry->modes, mode)) {
            if (entry->isTimer)
                items.timers.push_back(Ref<__CFRunLoopTimer>::retaining(static_cast<__CFRunLoopTimer*>(item)));
            else
                items.sources.push_back(Ref<__CFRunLoopSource>::retaining(static_cast<__CFRunLoopSource*>(item)));
        }
        ++entry;
    }
    return items;
}

void __CFRunLoop::runDueTimers(const Snapshot& items, standin::Backend& backend)
{
    const CFTimeInterval now = backend.monotonicNow();
    std::vector<__CFRunLoopTimer*> due;
    for (const auto& timer : items.timers) {
        if (timer->isDue())
            due.push_back(timer.get());
    }
    std::stable_sort(due.begin(), due.end(),
                     [](__CFRunLoopTimer* a, __CFRunLoopTimer* b) { return a->nextFire() < b->nextFire(); });
    for (auto* timer : due) {
        timer->fireIfDue();
        if (stopRequested_.load())
            break;
    }
    backend.timersRan(now);
}

int __CFRunLoop::waitMilliseconds(const Snapshot& items, double secondsLeft)
{
    int wait = standin::millisecondsLeft(secondsLeft);
    for (const auto& timer : items.timers) {
        if (!timer->isValid())
            continue;
        const int untilDue = timer->millisecondsUntilDue();
        if (untilDue >= 0)
            wait = std::min(wait, untilDue);
    }
    return wait;
}

bool __CFRunLoop::pollAndPerform(const Snapshot& items, int timeoutMs)
{
    std::vector<pollfd> fds;
    std::vector<__CFRunLoopSource*> polled;
    fds.push_back({wakeFd_, POLLIN, 0});
    for (const auto& source : items.sources) {
        const int fd = source->isValid() ? source->pollFd() : -1;
        if (fd < 0)
            continue;
        fds.push_back({fd, POLLIN, 0});
        polled.push_back(source.get());
    }
    waiting_.store(true);
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    waiting_.store(false);
    if (ready <= 0)
        return false;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(wakeFd_, &count, sizeof count);
    }
    bool handled = false;
    for (std::size_t i = 0; i < polled.size(); ++i) {
        if (!(fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP)) || !polled[i]->isValid())
            continue;
        polled[i]->perform();
        handled = true;
        if (stopRequested_.load())
            break;
    }
    return handled;
}

CFRunLoopRunResult __CFRunLoop::run(const std::string& mode, CFTimeInterval seconds, bool returnAfterSource)
{
    using Clock = std::chrono::steady_clock;
    if (takeStop())
        return kCFRunLoopRunStopped;
    // The limit is real time even under a virtual clock: it bounds a wait.
    const double limitSeconds = std::min(std::max(seconds, 0.0), 1.0e9);
    const auto limit = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(limitSeconds));
    for (;;) {
        const Snapshot items = snapshot(mode);
        if (items.empty())
            return kCFRunLoopRunFinished;
        const auto backend = standin::currentBackend();
        runDueTimers(items, *backend);
        if (takeStop())
            return kCFRunLoopRunStopped;
        const double secondsLeft = std::chrono::duration<double>(limit - Clock::now()).count();
        const bool handled = pollAndPerform(items, waitMilliseconds(items, secondsLeft));
        if (takeStop())
            return kCFRunLoopRunStopped;
        if (handled && returnAfterSource)
            return kCFRunLoopRunHandledSource;
        if (Clock::now() >= limit)
            return kCFRunLoopRunTimedOut;
    }
}

namespace {

bool onMainThread() { return gettid() == getpid(); }

// The main thread's loop lives as long as the process: other threads may
// stop it while the process exits.
CFRunLoopRef mainLoop()
{
    static CFRunLoopRef loop = Object::create<__CFRunLoop>();
    return loop;
}

// Any other thread's loop is released when the thread ends.
struct ThreadLoop {
    Ref<__CFRunLoop> loop;
};
thread_local ThreadLoop threadLoop;

} // namespace

namespace standin {

int millisecondsLeft(double seconds)
{
    if (seconds <= 0)
        return 0;
    const double millis = std::ceil(seconds * 1000.0);
    if (millis >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return static_cast<int>(millis);
}

void wakeAllRunLoops()
{
    std::lock_guard lock(registry().mutex);
    for (auto* loop : registry().loops)
        loop->wake();
}

} // namespace standin

extern "C" {

CFRunLoopRef CFRunLoopGetMain(void) { return mainLoop(); }

CFRunLoopRef CFRunLoopGetCurrent(void)
{
    if (onMainThread())
        return mainLoop();
    if (!threadLoop.loop)
        threadLoop.loop = Ref<__CFRunLoop>::adopting(Object::create<__CFRunLoop>());
    return threadLoop.loop.get();
}

void CFRunLoopRun(void)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    for (;;) {
        const CFRunLoopRunResult result = loop->run(kDefault, 1.0e10, false);
        if (result == kCFRunLoopRunStopped || result == kCFRunLoopRunFinished)
            return;
    }
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled)
{
    return CFRunLoopGetCurrent()->run(standin::modeName(mode), seconds, returnAfterSourceHandled != 0);
}

void CFRunLoopStop(CFRunLoopRef rl)
{
    withLiveLoop(rl, [](__CFRunLoop& loop) { loop.stop(); });
}

void CFRunLoopWakeUp(CFRunLoopRef rl)
{
    withLiveLoop(rl, [](__CFRunLoop& loop) { loop.wake(); });
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl)
{
    bool waiting = false;
    withLiveLoop(rl, [&](__CFRunLoop& loop) { waiting = loop.isWaiting(); });
    return waiting;
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    if (rl)
        rl->add(source, false, standin::modeName(mode));
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    if (rl && source)
        rl->remove(source, standin::modeName(mode));
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    return rl && source && rl->contains(source, standin::modeName(mode));
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source)
{
    if (source)
        source->invalidate();
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) { return source && source->isValid(); }

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    if (rl)
        rl->add(timer, true, standin::modeName(mode));
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    if (rl && timer)
        rl->remove(timer, standin::modeName(mode));
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    return rl && timer && rl->contains(timer, standin::modeName(mode));
}

} // extern "C"

namespace {

class DescriptorSource final : public __CFRunLoopSource {
public:
    DescriptorSource(int fd, std::function<void()> onReadable) : fd_(fd), onReadable_(std::move(onReadable)) {}
    int pollFd() override { return fd_; }
    void perform() override
    {
        if (onReadable_)
            onReadable_();
    }

private:
    const int fd_;
    const std::function<void()> onReadable_;
};

} // namespace

namespace standin {

CFRunLoopSourceRef createDescriptorSource(int fd, std::function<void()> onReadable)
{
    return Object::create<DescriptorSource>(fd, std::move(onReadable));
}

} // namespace standin
