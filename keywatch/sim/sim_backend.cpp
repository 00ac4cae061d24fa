// The simulated keyboard as the stand-in sees it (a Backend) and as a test
// sees it (Keyboard), both over one shared State.
#include "sim_backend.h"

#include "sim_state.h"

namespace sim {

namespace {

class SimTap final : public standin::BackendTap {
public:
    SimTap(std::shared_ptr<State> state, std::shared_ptr<TapRecord> record)
        : state_(std::move(state)), record_(std::move(record))
    {
    }
    ~SimTap() override { state_->destroyTap(record_); }

    int eventFd() const override { return record_->eventFd; }
    std::vector<standin::TapEvent> takePending() override { return state_->takePending(*record_); }
    void settle(const standin::TapEvent& event, const standin::EventOutcome& outcome) override
    {
        state_->settle(event, outcome);
    }
    void setEnabled(bool enabled) override { state_->setEnabled(*record_, enabled); }
    bool isEnabled() const override { return state_->isEnabled(*record_); }
    bool isValid() const override { return state_->isValid(*record_); }

private:
    const std::shared_ptr<State> state_;
    const std::shared_ptr<TapRecord> record_;
};

class SimBackend final : public standin::Backend {
public:
    explicit SimBackend(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::unique_ptr<standin::BackendTap> createTap(const standin::TapRequest& request) override
    {
        auto record = state_->createTap(request);
        if (!record)
            return nullptr;
        return std::make_unique<SimTap>(state_, std::move(record));
    }
    bool canCreateRunLoopSource() override { return state_->canCreateRunLoopSource(); }
    void post(const standin::PostedEvent& event) override { state_->post(event); }
    CGEventFlags flagsState(CGEventSourceStateID) override { return state_->flagsState(); }
    bool providesSecureInput() const override { return state_->providesSecureInput(); }
    bool secureInputEnabled() override { return state_->secureInputEnabled(); }
    bool providesListenAccess() const override { return state_->providesListenAccess(); }
    bool listenAccessGranted() override { return state_->listenAccessGranted(); }
    CFAbsoluteTime now() override { return state_->now(); }
    CFTimeInterval monotonicNow() override { return state_->monotonicNow(); }
    // The virtual clock moves only when a test moves it, and wakes the
    // loops then: until a deadline is due there is nothing to wait for.
    int millisecondsUntil(CFTimeInterval deadline) override { return deadline <= state_->monotonicNow() ? 0 : -1; }
    void timersRan(CFTimeInterval time) override { state_->timersRan(time); }

private:
    const std::shared_ptr<State> state_;
};

class SimKeyboard final : public Keyboard {
public:
    explicit SimKeyboard(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void allowTap(TapKind kind, bool allowed) override { state_->allowTap(kind, allowed); }
    void failRunLoopSource(bool fail) override { state_->failRunLoopSource(fail); }
    void failReenable(bool fail) override { state_->failReenable(fail); }
    bool disableTap(CGEventType reason) override { return state_->disableTap(reason); }
    bool invalidateTap() override { return state_->invalidateTap(); }
    std::optional<TapKind> tapKind() const override { return state_->tapKind(); }
    bool tapEnabled() const override { return state_->tapEnabled(); }
    bool tapValid() const override { return state_->tapValid(); }
    int liveTaps() const override { return state_->liveTaps(); }
    int tapsCreated() const override { return state_->tapsCreated(); }
    std::vector<standin::TapRequest> tapRequests() const override { return state_->tapRequests(); }

    void script(CGEventType type, CGKeyCode keyCode, CGEventFlags flags) override
    {
        state_->script(type, keyCode, flags);
    }
    std::vector<Delivery> deliveries() const override { return state_->deliveries(); }
    bool waitForDeliveries(std::size_t count, std::chrono::milliseconds timeout) const override
    {
        return state_->waitForDeliveries(count, timeout);
    }
    std::size_t pendingEvents() const override { return state_->pendingEvents(); }
    void clearDeliveries() override { state_->clearDeliveries(); }

    std::vector<standin::PostedEvent> posted() const override { return state_->posted(); }
    bool waitForPosted(std::size_t count, std::chrono::milliseconds timeout) const override
    {
        return state_->waitForPosted(count, timeout);
    }
    void clearPosted() override { state_->clearPosted(); }
    void setLoopback(bool loopback) override { state_->setLoopback(loopback); }

    void setSystemFlags(CGEventFlags flags) override { state_->setSystemFlags(flags); }
    void setSecureInput(bool on) override { state_->setSecureInput(on); }
    void setSecureInputAvailable(bool available) override { state_->setSecureInputAvailable(available); }
    void setListenAccess(ListenAccess access) override { state_->setListenAccess(access); }

    CFAbsoluteTime now() const override { return state_->now(); }
    CFTimeInterval monotonicNow() const override { return state_->monotonicNow(); }
    void stepWallClock(CFTimeInterval seconds) override
    {
        state_->stepWallClock(seconds);
        standin::wakeRunLoops();
    }
    void advance(CFTimeInterval seconds) override
    {
        state_->advance(seconds);
        standin::wakeRunLoops();
    }
    bool advanceAndWait(CFTimeInterval seconds, std::chrono::milliseconds timeout) override
    {
        const CFTimeInterval target = state_->advance(seconds);
        standin::wakeRunLoops();
        return state_->waitForTimersAt(target, timeout);
    }

private:
    const std::shared_ptr<State> state_;
};

} // namespace

std::shared_ptr<Keyboard> Keyboard::install()
{
    auto state = std::make_shared<State>();
    standin::installBackend(std::make_unique<SimBackend>(state));
    return std::make_shared<SimKeyboard>(state);
}

} // namespace sim
