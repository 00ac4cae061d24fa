#include "key_codes.h"

namespace x11 {

std::optional<uint16_t> macKeyForXKeycode(uint8_t xKeycode)
{
    if (xKeycode < kXKeycodeOffset) {
        return std::nullopt;
    }
    return macKeyForLinuxCode(xKeycode - kXKeycodeOffset);
}

std::optional<uint8_t> xKeycodeForMacKey(uint16_t macKey)
{
    const auto linuxCode = linuxCodeForMacKey(macKey);
    if (!linuxCode || *linuxCode + kXKeycodeOffset > 255) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*linuxCode + kXKeycodeOffset);
}

}  // namespace x11
