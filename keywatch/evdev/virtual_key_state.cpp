#include "virtual_key_state.h"

namespace evdev {

std::optional<KeyWrite> VirtualKeyState::admit(KeyWrite key, SourceId source)
{
    if (key.code >= kCodeLimit) {
        return std::nullopt;
    }
    if (key.value == 1) {
        down_[key.code] = true;
        pressedBy_[key.code] = source;
        return key;
    }
    if (!down_[key.code]) {
        return std::nullopt;
    }
    if (key.value == 0) {
        down_[key.code] = false;
    }
    return key;
}

std::vector<KeyWrite> VirtualKeyState::releaseAllOf(SourceId source)
{
    std::vector<KeyWrite> releases;
    for (unsigned code = 0; code < kCodeLimit; ++code) {
        if (down_[code] && pressedBy_[code] == source) {
            down_[code] = false;
            releases.push_back({static_cast<uint16_t>(code), 0});
        }
    }
    return releases;
}

}  // namespace evdev
