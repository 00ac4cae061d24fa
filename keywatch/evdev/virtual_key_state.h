// Which keys are down on the virtual keyboard, and which keyboard pressed
// them. Applications must never see a key stuck or a release without its
// press, so releases and repeats go out only for keys that are down there,
// and the keys of a keyboard that vanishes can be released for it.
#pragma once

#include "key_tracker.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace evdev {

// Who produced a key event: a keyboard's slot, or kPostedSource.
using SourceId = int32_t;
inline constexpr SourceId kPostedSource = -1;

class VirtualKeyState {
public:
    // The write to make for `key`, or nothing when it would be a release or
    // repeat of a key that is not down. Records the write as made.
    std::optional<KeyWrite> admit(KeyWrite key, SourceId source);

    // Releases of every key that `source` pressed and that is still down,
    // recorded as made.
    std::vector<KeyWrite> releaseAllOf(SourceId source);

    bool isDown(uint16_t code) const { return code < kCodeLimit && down_[code]; }

private:
    static constexpr unsigned kCodeLimit = 0x300;
    std::array<bool, kCodeLimit> down_{};
    std::array<SourceId, kCodeLimit> pressedBy_{};
};

}  // namespace evdev
