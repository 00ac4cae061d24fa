// X keycodes of the evdev keymap are Linux input codes plus 8; this maps
// them through the shared key table.
#pragma once

#include "mac_keys.h"

#include <cstdint>
#include <optional>

namespace x11 {

using namespace ::keys;

// X keycodes are Linux codes shifted by this much.
inline constexpr unsigned kXKeycodeOffset = 8;

// The macOS key code of an X keycode; empty for keys that have none.
std::optional<uint16_t> macKeyForXKeycode(uint8_t xKeycode);

// The X keycode that produces a macOS key code; empty when no key does.
std::optional<uint8_t> xKeycodeForMacKey(uint16_t macKey);

}  // namespace x11
