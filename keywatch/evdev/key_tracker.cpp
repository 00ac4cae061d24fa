#include "key_tracker.h"

#include "mac_flags.h"
#include "mac_keys.h"

namespace evdev {

std::optional<MacKeyEvent> KeyTracker::apply(KeyWrite key)
{
    const auto macKey = keys::macKeyForLinuxCode(key.code);
    if (!macKey) {
        return std::nullopt;
    }
    if (*macKey == keys::kMacCapsLock) {
        if (key.value != 1) {
            return std::nullopt;
        }
        capsLocked_ = !capsLocked_;
        return MacKeyEvent{kCGEventFlagsChanged, *macKey, flags()};
    }
    if (keys::modifierFlagsOfMacKey(*macKey) != 0) {
        if (key.value == 2) {
            return std::nullopt;
        }
        modifiersDown_[key.code] = key.value != 0;
        return MacKeyEvent{kCGEventFlagsChanged, *macKey, flags()};
    }
    return MacKeyEvent{key.value == 0 ? kCGEventKeyUp : kCGEventKeyDown, *macKey, flags()};
}

void KeyTracker::noteHeld(uint16_t code)
{
    if (code < kCodeLimit && keys::modifierFlagsOfLinuxCode(code) != 0) {
        modifiersDown_[code] = true;
    }
}

CGEventFlags KeyTracker::flags() const
{
    CGEventFlags result = capsLocked_ ? keys::kFlagAlphaShift : 0;
    for (unsigned code = 0; code < kCodeLimit; ++code) {
        if (modifiersDown_[code]) {
            result |= keys::modifierFlagsOfLinuxCode(code);
        }
    }
    return result;
}

}  // namespace evdev
