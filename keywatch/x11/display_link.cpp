#include "display_link.h"

#include <xcb/xtest.h>

namespace x11 {

namespace {

bool hasXtest(xcb_connection_t* connection)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_test_id);
    return extension != nullptr && extension->present;
}

}  // namespace

xcb_connection_t* DisplayLink::connectionLocked()
{
    if (!isBroken(connection_.get())) {
        return connection_.get();
    }
    connection_.reset();
    Connection fresh = connectToDisplay();
    if (!fresh || !hasXtest(fresh.get()) || !enableXkb(fresh.get())) {
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

bool DisplayLink::fakeKeyLocked(uint8_t xKeycode, bool press)
{
    xcb_connection_t* connection = connectionLocked();
    if (connection == nullptr) {
        return false;
    }
    const uint8_t type = press ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
    xcb_test_fake_input(connection, type, xKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    const bool sent = xcb_flush(connection) > 0;
    dropStrayEventsLocked();
    return sent;
}

// A connection learns that its display went away only when it is used, so
// a failure on one that looked sound is tried once more on a fresh one: the
// display may be back.
bool DisplayLink::fakeKey(uint8_t xKeycode, bool press)
{
    std::lock_guard lock(mutex_);
    return fakeKeyLocked(xKeycode, press) || fakeKeyLocked(xKeycode, press);
}

std::optional<KeyboardSnapshot> DisplayLink::keyboard()
{
    std::lock_guard lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        xcb_connection_t* connection = connectionLocked();
        if (connection == nullptr) {
            return std::nullopt;
        }
        if (auto snapshot = queryKeyboard(connection)) {
            return snapshot;
        }
    }
    return std::nullopt;
}

}  // namespace x11
