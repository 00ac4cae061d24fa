#include "display_link.h"

#include "display_connect.h"

#include <xcb/xtest.h>

namespace x11 {

namespace {

// How long one injection or query may wait for the server.
constexpr std::chrono::milliseconds kAnswerTimeout{250};

}  // namespace

xcb_connection_t* DisplayLink::connectionLocked(Deadline deadline)
{
    if (!isBroken(connection_.get())) {
        return connection_.get();
    }
    connection_.reset();
    Connection fresh = connectToDisplay(deadline);
    if (!fresh || !hasExtensionBy(fresh.get(), &xcb_test_id, deadline) || !enableXkb(fresh.get(), deadline)) {
        return nullptr;
    }
    connection_ = std::move(fresh);
    return connection_.get();
}

// Errors of fake input would otherwise pile up unread.
void DisplayLink::dropStrayEventsLocked()
{
    for (;;) {
        Reply<xcb_generic_event_t> stray{xcb_poll_for_event(connection_.get())};
        if (!stray) {
            return;
        }
    }
}

// A server that cannot take the key in time is dropped like a lost one.
bool DisplayLink::fakeKeyLocked(uint8_t xKeycode, bool press, Deadline deadline)
{
    xcb_connection_t* connection = connectionLocked(deadline);
    if (connection == nullptr) {
        return false;
    }
    const uint8_t type = press ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
    xcb_test_fake_input(connection, type, xKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (!flushBy(connection, deadline)) {
        connection_.reset();
        return false;
    }
    dropStrayEventsLocked();
    return true;
}

// A connection learns that its display went away only when it is used, so
// a failure on one that looked sound is tried once more on a fresh one: the
// display may be back.
bool DisplayLink::fakeKey(uint8_t xKeycode, bool press)
{
    const Deadline deadline = deadlineIn(kAnswerTimeout);
    std::lock_guard lock(mutex_);
    const bool hadConnection = !isBroken(connection_.get());
    return fakeKeyLocked(xKeycode, press, deadline) ||
           (hadConnection && fakeKeyLocked(xKeycode, press, deadline));
}

std::optional<KeyboardSnapshot> DisplayLink::keyboard()
{
    const Deadline deadline = deadlineIn(kAnswerTimeout);
    std::lock_guard lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        xcb_connection_t* connection = connectionLocked(deadline);
        if (connection == nullptr) {
            return std::nullopt;
        }
        if (auto snapshot = queryKeyboard(connection, deadline)) {
            return snapshot;
        }
        // No answer in time counts as a lost display.
        connection_.reset();
    }
    return std::nullopt;
}

}  // namespace x11
