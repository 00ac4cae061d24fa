#include "virtual_key_state.h"

namespace evdev {

std::optional<KeyWrite> VirtualKeyState::admit(KeyWrite key, SourceId source)
{
    if (key.code >= kCodeLimit) {
        return std::nullopt;
    }
    auto& down = down_[source];
    if (key.value == 1) {
        down.set(key.code);
        return key;
    }
    if (!down.test(key.code)) {
        return std::nullopt;
    }
    if (key.value == 0) {
        down.reset(key.code);
    }
    return key;
}

std::vector<KeyWrite> VirtualKeyState::releaseAllOf(SourceId source)
{
    std::vector<KeyWrite> releases;
    const auto found = down_.find(source);
    if (found == down_.end()) {
        return releases;
    }
    for (unsigned code = 0; code < kCodeLimit; ++code) {
        if (found->second.test(code)) {
            releases.push_back({static_cast<uint16_t>(code), 0});
        }
    }
    down_.erase(found);
    return releases;
}

bool VirtualKeyState::isDown(SourceId source, uint16_t code) const
{
    const auto found = down_.find(source);
    return found != down_.end() && code < kCodeLimit && found->second.test(code);
}

}  // namespace evdev
