// Which keys are down on each keyboard's virtual keyboard. Applications
// must never see a key stuck or a release without its press, so releases
// and repeats go out only for keys that are down there, and the keys of a
// keyboard that vanishes can be released for it.
#pragma once

#include "key_tracker.h"

#include <bitset>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace evdev {

// The keyboard a key event came from, and whose virtual keyboard it goes
// out on.
using SourceId = int32_t;

class VirtualKeyState {
public:
    // The write to make for `key` on `source`'s virtual keyboard, or
    // nothing when it would be a release or repeat of a key that is not
    // down there. Records the write as made.
    std::optional<KeyWrite> admit(KeyWrite key, SourceId source);

    // Releases of every key still down on `source`'s virtual keyboard,
    // recorded as made.
    std::vector<KeyWrite> releaseAllOf(SourceId source);

    bool isDown(SourceId source, uint16_t code) const;

    // Everything is up: something else released it all.
    void clear() { down_.clear(); }

private:
    static constexpr unsigned kCodeLimit = 0x300;
    std::map<SourceId, std::bitset<kCodeLimit>> down_;
};

}  // namespace evdev
