#include "x11_flags.h"

#include "key_codes.h"

namespace x11 {

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
