// Which backend the stand-in uses, the real clocks, and the null backend.
#include "backend.h"

#include "run_loop.h"

#include <chrono>
#include <mutex>

namespace standin {

namespace {

// Seconds between 1 January 1970 and 1 January 2001, both UTC.
constexpr double kUnixToAbsolute = 978307200.0;

class BackendSlot {
public:
    std::shared_ptr<Backend> get()
    {
        std::lock_guard lock(mutex_);
        if (!backend_)
            backend_ = makePlatformBackend();
        return backend_;
    }

    void set(std::unique_ptr<Backend> backend)
    {
        std::lock_guard lock(mutex_);
        backend_ = std::move(backend);
    }

private:
    std::mutex mutex_;
    std::shared_ptr<Backend> backend_;
};

// Lives as long as the process: run loops on other threads may still ask
// for the clock while the process exits.
BackendSlot& slot()
{
    static auto* theSlot = std::make_unique<BackendSlot>().release();
    return *theSlot;
}

class NullBackend final : public Backend {
public:
    std::unique_ptr<BackendTap> createTap(const TapRequest&) override { return nullptr; }
    void post(const PostedEvent&) override {}
    CGEventFlags flagsState(CGEventSourceStateID) override { return 0; }
};

} // namespace

CFAbsoluteTime Backend::now()
{
    using namespace std::chrono;
    const auto sinceEpoch = system_clock::now().time_since_epoch();
    return duration<double>(sinceEpoch).count() - kUnixToAbsolute;
}

CFTimeInterval Backend::monotonicNow()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int Backend::millisecondsUntil(CFTimeInterval deadline)
{
    return millisecondsLeft(deadline - monotonicNow());
}

void installBackend(std::unique_ptr<Backend> backend)
{
    slot().set(std::move(backend));
    wakeRunLoops();
}

std::shared_ptr<Backend> currentBackend() { return slot().get(); }

void wakeRunLoops() { wakeAllRunLoops(); }

std::unique_ptr<Backend> makeNullBackend() { return std::make_unique<NullBackend>(); }

} // namespace standin

extern "C" CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) { return standin::currentBackend()->now(); }

extern "C" CFTimeInterval CACurrentMediaTime(void) { return standin::currentBackend()->monotonicNow(); }
