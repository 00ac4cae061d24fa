#include "display_connect.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace x11 {

namespace {

struct Attempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;        // guarded by mutex
    Connection connection;    // guarded by mutex; empty when it failed
};

// The newest attempt. Lives as long as the process: a thread still waiting
// on a stopped server may end after it.
struct Current {
    std::mutex mutex;
    std::shared_ptr<Attempt> attempt;  // guarded by mutex
};

Current& current()
{
    static auto* slot = std::make_unique<Current>().release();
    return *slot;
}

Connection takeIfSound(Attempt& attempt)
{
    Connection connection = std::move(attempt.connection);
    if (isBroken(connection.get())) {
        return nullptr;
    }
    return connection;
}

// Null when no thread could be started.
std::shared_ptr<Attempt> startAttempt()
{
    auto attempt = std::make_shared<Attempt>();
    try {
        // A null name makes libxcb read DISPLAY, as every X client does.
        std::thread([attempt] {
            Connection connection{xcb_connect(nullptr, nullptr)};
            std::lock_guard lock(attempt->mutex);
            attempt->connection = std::move(connection);
            attempt->done = true;
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return attempt;
}

// The attempt a caller waits on: the newest while it is unanswered or its
// connection untaken, else a new one.
std::shared_ptr<Attempt> attemptToWaitOn()
{
    Current& slot = current();
    std::lock_guard slotLock(slot.mutex);
    if (slot.attempt) {
        std::lock_guard lock(slot.attempt->mutex);
        if (!slot.attempt->done || slot.attempt->connection) {
            return slot.attempt;
        }
    }
    slot.attempt = startAttempt();
    return slot.attempt;
}

}  // namespace

Connection connectToDisplay(Deadline deadline)
{
    const auto attempt = attemptToWaitOn();
    if (!attempt) {
        return nullptr;
    }
    std::unique_lock lock(attempt->mutex);
    if (!attempt->finished.wait_until(lock, deadline, [&] { return attempt->done; })) {
        return nullptr;
    }
    return takeIfSound(*attempt);
}

}  // namespace x11
