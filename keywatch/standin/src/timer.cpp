// Run-loop timers. Their times are those of the backend's clock.
#include "run_loop.h"

#include <cmath>

__CFRunLoopTimer::__CFRunLoopTimer(CFAbsoluteTime fireDate, CFTimeInterval interval,
                                   CFRunLoopTimerCallBack callout, const CFRunLoopTimerContext* context)
    : nextFire_(fireDate), interval_(interval > 0 ? interval : 0), callout_(callout)
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

void __CFRunLoopTimer::fireIfDue(CFAbsoluteTime now)
{
    const CFAbsoluteTime due = nextFire_.load();
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
