// Run-loop timers. Fire dates come in as times of the wall clock and are
// kept, from the moment the timer is made, on the monotonic clock.
#include "run_loop.h"

#include "backend.h"

#include <cmath>

namespace {

CFTimeInterval onMonotonicClock(standin::Backend& backend, CFAbsoluteTime fireDate)
{
    return backend.monotonicNow() + (fireDate - backend.now());
}

} // namespace

__CFRunLoopTimer::__CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval interval,
                                   CFRunLoopTimerCallBack callout, const CFRunLoopTimerContext* context)
    : backend_(standin::currentBackend()), nextFire_(onMonotonicClock(*backend_, fireDate)),
      interval_(interval > 0 ? interval : 0), callout_(callout)
{
    if (!context)
        return;
    context_ = *context;
    if (context_.retain && context_.info)
        context_.info = const_cast<void*>(context_.retain(context_.info));
}

__CFRunLoopTimer::~__CFRunLoopTimer()
{
    if (context_.release && context_.info)
        context_.release(context_.info);
}

CFAbsoluteTime __CFRunLoopTimer::nextFireDate() const
{
    return backend_->now() + (nextFire_.load() - backend_->monotonicNow());
}

bool __CFRunLoopTimer::isDue() const { return isValid() && nextFire_.load() <= backend_->monotonicNow(); }

int __CFRunLoopTimer::millisecondsUntilDue() const { return backend_->millisecondsUntil(nextFire_.load()); }

void __CFRunLoopTimer::fireIfDue()
{
    const CFTimeInterval now = backend_->monotonicNow();
    const CFTimeInterval due = nextFire_.load();
    if (!isValid() || due > now)
        return;
    // A repeating timer that is several intervals late fires once and
    // resumes on its grid, strictly after now.
    if (interval_ > 0) {
        const double missed = std::floor((now - due) / interval_) + 1;
        nextFire_.store(due + missed * interval_);
    }
    standin::Ref<__CFRunLoopTimer> keep = standin::Ref<__CFRunLoopTimer>::retaining(this);
    if (callout_)
        callout_(this, context_.info);
    if (interval_ <= 0)
        invalidate();
}

extern "C" {

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags, CFIndex, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context)
{
    return standin::Object::create<__CFRunLoopTimer>(fireDate, interval, callout, context);
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer)
{
    if (timer)
        timer->invalidate();
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer) { return timer && timer->isValid(); }

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer)
{
    return timer ? timer->nextFireDate() : 0;
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer) { return timer ? timer->interval() : 0; }

} // extern "C"
