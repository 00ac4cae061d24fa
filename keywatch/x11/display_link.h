// The backend's own connection for what is not the tap: injecting keys
// with XTEST and asking for the keyboard state. It is made on first use
// and made again after the display went away; any thread may use it, and
// nothing it does waits on the server past a deadline.
#pragma once

#include "keyboard_query.h"
#include "xcb_handles.h"

#include <cstdint>
#include <mutex>
#include <optional>

namespace x11 {

class DisplayLink {
public:
    // Presses or releases a key as if typed; false when no display took it.
    bool fakeKey(uint8_t xKeycode, bool press);

    // Empty when no display answers.
    std::optional<KeyboardSnapshot> keyboard();

private:
    xcb_connection_t* connectionLocked(Deadline deadline);
    bool fakeKeyLocked(uint8_t xKeycode, bool press, Deadline deadline);
    void dropStrayEventsLocked();

    std::mutex mutex_;
    Connection connection_;
};

}  // namespace x11
