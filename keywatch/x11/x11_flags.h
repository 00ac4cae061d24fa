// The macOS flags word of the X keys that are down.
#pragma once

#include "mac_flags.h"

#include <bitset>
#include <cstdint>

namespace x11 {

using namespace ::keys;

// Which X keycodes are down.
using KeysDown = std::bitset<256>;

// Both bits a modifier key sets while it is down; 0 for other keys.
uint64_t modifierFlagsOfXKeycode(uint8_t xKeycode);

// The flags while `down` are held and Caps Lock is locked or not.
uint64_t macFlags(const KeysDown& down, bool capsLocked);

}  // namespace x11
