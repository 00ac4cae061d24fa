// What the server says about the core keyboard: the keys that are down and
// whether Caps Lock is locked.
#pragma once

#include "bounded_wait.h"
#include "x11_flags.h"

#include <xcb/xcb.h>

#include <optional>

namespace x11 {

struct KeyboardSnapshot {
    KeysDown down;
    bool capsLocked = false;
};

// Announces the XKB extension on `connection`; queryKeyboard needs it.
bool enableXkb(xcb_connection_t* connection, Deadline deadline);

// One round trip; empty when the connection has failed or the server did
// not answer by the deadline.
std::optional<KeyboardSnapshot> queryKeyboard(xcb_connection_t* connection, Deadline deadline);

}  // namespace x11
