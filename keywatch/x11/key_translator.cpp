#include "key_translator.h"

#include "key_codes.h"

namespace x11 {

KeyTranslator::KeyTranslator(const KeyboardSnapshot& start)
    : down_(start.down)
    , capsLocked_(start.capsLocked)
{
}

std::optional<MacKeyEvent> KeyTranslator::translate(bool press, uint8_t xKeycode)
{
    const bool wasDown = down_[xKeycode];
    down_[xKeycode] = press;
    const auto macKey = macKeyForXKeycode(xKeycode);
    if (!macKey) {
        return std::nullopt;
    }
    if (*macKey == kMacCapsLock) {
        // The server locks on one press and unlocks on the release after the
        // next, so the state after a press is known only by counting presses.
        if (!press || wasDown) {
            return std::nullopt;
        }
        capsLocked_ = !capsLocked_;
        return MacKeyEvent{kEventFlagsChanged, *macKey, macFlags(down_, capsLocked_)};
    }
    const uint64_t flags = macFlags(down_, capsLocked_);
    if (modifierFlagsOfXKeycode(xKeycode) != 0) {
        return MacKeyEvent{kEventFlagsChanged, *macKey, flags};
    }
    return MacKeyEvent{press ? kEventKeyDown : kEventKeyUp, *macKey, flags};
}

}  // namespace x11
