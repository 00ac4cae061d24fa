// Run loops, their sources and timers: the stand-in's own view.
#pragma once

#include "object.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace standin {
class Backend;
}

// Something a run loop watches: a descriptor to poll, and the work to do
// when it is readable. Invalid sources are dropped by the loops.
struct __CFRunLoopSource : standin::Object {
    // The descriptor to poll now; -1 for none.
    virtual int pollFd() = 0;
    virtual void perform() = 0;
    virtual bool isValid() const { return valid_.load(); }
    void invalidate() { valid_.store(false); }

private:
    std::atomic<bool> valid_{true};
};

// A timer keeps its times on its backend's monotonic clock: an interval is
// elapsed time, which a step of the wall clock must not stretch or cut.
struct __CFRunLoopTimer : standin::Object {
    __CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFRunLoopTimerCallBack callout,
                     const CFRunLoopTimerContext* context);
    ~__CFRunLoopTimer() override;

    bool isValid() const { return valid_.load(); }
    void invalidate() { valid_.store(false); }
    // The next firing as a time of the wall clock, as the native API gives it.
    CFAbsoluteTime nextFireDate() const;
    // The next firing on the monotonic clock.
    CFTimeInterval nextFire() const { return nextFire_.load(); }
    CFTimeInterval interval() const { return interval_; }

    bool isDue() const;
    // How long a loop may sleep before the timer is due, as
    // Backend::millisecondsUntil answers it.
    int millisecondsUntilDue() const;

    // Runs the callout when the timer is due, then schedules the next
    // firing after now (repeating) or invalidates it (one-shot).
    void fireIfDue();

private:
    const std::shared_ptr<standin::Backend> backend_;
    std::atomic<CFTimeInterval> nextFire_;
    const CFTimeInterval interval_;
    const CFRunLoopTimerCallBack callout_;
    CFRunLoopTimerContext context_{};
    std::atomic<bool> valid_{true};
};

struct __CFRunLoop : standin::Object {
    __CFRunLoop();
    ~__CFRunLoop() override;

    CFRunLoopRunResult run(const std::string& mode, CFTimeInterval seconds, bool returnAfterSource);
    void stop();
    void wake();
    bool isWaiting() const { return waiting_.load(); }

    void add(standin::Object* item, bool isTimer, const std::string& mode);
    void remove(standin::Object* item, const std::string& mode);
    bool contains(standin::Object* item, const std::string& mode);

private:
    struct Entry {
        standin::Ref<standin::Object> item;
        bool isTimer = false;
        std::vector<std::string> modes;
    };
    struct Snapshot {
        std::vector<standin::Ref<__CFRunLoopSource>> sources;
        std::vector<standin::Ref<__CFRunLoopTimer>> timers;
        bool empty() const { return sources.empty() && timers.empty(); }
    };

    Snapshot snapshot(const std::string& mode);
    void runDueTimers(const Snapshot& items, standin::Backend& backend);
    int waitMilliseconds(const Snapshot& items, double secondsLeft);
    bool pollAndPerform(const Snapshot& items, int timeoutMs);
    bool takeStop() { return stopRequested_.exchange(false); }

    std::mutex mutex_;
    std::vector<Entry> entries_; // guarded by mutex_
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> waiting_{false};
    int wakeFd_ = -1;
};

namespace standin {

// `seconds` as a poll timeout: rounded up, never negative, at most INT_MAX.
int millisecondsLeft(double seconds);

// Wakes every live run loop (they re-read the clock).
void wakeAllRunLoops();

// A source that runs `onReadable` on the loop's thread whenever `fd` is
// readable. The descriptor stays the caller's.
CFRunLoopSourceRef createDescriptorSource(int fd, std::function<void()> onReadable);

} // namespace standin
