// Turns the key presses and releases that the server records into
// keywatch's key events: macOS key code, event type and flags.
#pragma once

#include "keyboard_query.h"
#include "x11_flags.h"

#include <cstdint>
#include <optional>

namespace x11 {

inline constexpr uint32_t kEventKeyDown = 10;
inline constexpr uint32_t kEventKeyUp = 11;
inline constexpr uint32_t kEventFlagsChanged = 12;

struct MacKeyEvent {
    uint32_t type = 0;
    uint16_t keycode = 0;
    uint64_t flags = 0;
};

class KeyTranslator {
public:
    explicit KeyTranslator(const KeyboardSnapshot& start);

    // The event for one recorded press or release, if the key makes one.
    std::optional<MacKeyEvent> translate(bool press, uint8_t xKeycode);

    // The flags as the last key translated left them.
    uint64_t flags() const { return macFlags(down_, capsLocked_); }

private:
    KeysDown down_;
    bool capsLocked_;
};

}  // namespace x11
