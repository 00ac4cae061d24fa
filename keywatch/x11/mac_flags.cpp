#include "mac_flags.h"

#include "key_codes.h"

namespace x11 {

namespace {

uint64_t modifierFlagsOfMacKey(uint16_t macKey)
{
    switch (macKey) {
    case kMacShift: return kFlagLeftShift | kFlagShift;
    case kMacRightShift: return kFlagRightShift | kFlagShift;
    case kMacControl: return kFlagLeftControl | kFlagControl;
    case kMacRightControl: return kFlagRightControl | kFlagControl;
    case kMacOption: return kFlagLeftOption | kFlagOption;
    case kMacRightOption: return kFlagRightOption | kFlagOption;
    case kMacCommand: return kFlagLeftCommand | kFlagCommand;
    case kMacRightCommand: return kFlagRightCommand | kFlagCommand;
    default: return 0;
    }
}

}  // namespace

uint64_t modifierFlagsOfXKeycode(uint8_t xKeycode)
{
    const auto macKey = macKeyForXKeycode(xKeycode);
    return macKey ? modifierFlagsOfMacKey(*macKey) : 0;
}

uint64_t macFlags(const KeysDown& down, bool capsLocked)
{
    uint64_t flags = capsLocked ? kFlagAlphaShift : 0;
    for (unsigned keycode = 0; keycode < down.size(); ++keycode) {
        if (down[keycode]) {
            flags |= modifierFlagsOfXKeycode(static_cast<uint8_t>(keycode));
        }
    }
    return flags;
}

}  // namespace x11
