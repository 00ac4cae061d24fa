// What goes out on the virtual keyboard for a key event, once the tap
// callback has said what becomes of it, and for an event posted by
// keywatch itself.
#pragma once

#include "backend.h"
#include "key_tracker.h"

#include <vector>

namespace evdev {

// The writes that stand for a mac key event: a press or release of its
// key; a modifier goes down when the flags carry its own bit; Caps Lock
// toggles, so it is pressed and released. Empty for keys without a code.
std::vector<KeyWrite> writesForMacEvent(CGEventType type, CGKeyCode keyCode, CGEventFlags flags);

// The writes for an event delivered as `delivered`, which came from the
// keyboard as `original`. An event passed, or changed only in its flags,
// goes out as it came: flags are not part of a key event here. A release
// goes out even when deleted, so that a key whose press reached
// applications never sticks there (a release of a key that is not down is
// dropped further on).
std::vector<KeyWrite> writesForOutcome(const std::vector<KeyWrite>& original, const standin::TapEvent& delivered,
                                       const standin::EventOutcome& outcome);

}  // namespace evdev
