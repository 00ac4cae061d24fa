// Keeps the modifier and Caps Lock state of all keyboards, event by event,
// and turns each Linux key event into the key event keywatch's tap
// delivers, with the flags as of that event. The system's own lock never
// sees a Caps Lock press that the tap deletes, so the lock state here is
// counted from the presses themselves.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <bitset>
#include <cstdint>
#include <optional>

namespace evdev {

// A Linux key event: value 1 press, 0 release, 2 auto-repeat.
struct KeyWrite {
    uint16_t code = 0;
    int32_t value = 0;
    bool operator==(const KeyWrite&) const = default;
};

struct MacKeyEvent {
    CGEventType type = kCGEventNull;
    CGKeyCode keyCode = 0;
    CGEventFlags flags = 0;
};

class KeyTracker {
public:
    explicit KeyTracker(bool capsLocked = false) : capsLocked_(capsLocked) {}

    // Applies one key event; returns the tap event it makes, if any. Caps
    // Lock makes one flags-changed event per press and nothing on release
    // or repeat; modifiers make flags-changed events on press and release
    // only; keys without a mac key code make none.
    std::optional<MacKeyEvent> apply(KeyWrite key);

    // State found when the tap starts: a modifier already down, the lock.
    void noteHeld(uint16_t code);
    void setCapsLocked(bool locked) { capsLocked_ = locked; }

    // The flags as of the last event applied.
    CGEventFlags flags() const;
    bool capsLocked() const { return capsLocked_; }

private:
    static constexpr unsigned kCodeLimit = 256;
    std::bitset<kCodeLimit> modifiersDown_;
    bool capsLocked_;
};

}  // namespace evdev
