// The events of an active tap on their way to the virtual keyboard, in the
// order they happened. An event waits at its place until the tap callback
// has settled it; nothing behind it overtakes it, so order is kept. The
// oldest waiting event carries a deadline: past it, the tap gives up on
// its callback and lets everything through unchanged.
#pragma once

#include "key_tracker.h"
#include "virtual_key_state.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace evdev {

using Clock = std::chrono::steady_clock;

// A write and the keyboard whose virtual keyboard it goes out on.
struct RoutedWrite {
    SourceId source = 0;
    KeyWrite key;
    bool operator==(const RoutedWrite&) const = default;
};

class ForwardQueue {
public:
    // An event the callback must settle; `original` is what goes out when
    // it passes unchanged.
    void pushWaiting(uint64_t id, std::vector<KeyWrite> original, SourceId source, Clock::time_point deadline);
    // An event whose writes are already known.
    void pushDecided(std::vector<KeyWrite> writes, SourceId source);

    // Releases of every key that `source` holds down on the virtual
    // keyboard, once everything before has gone out: the keyboard vanished.
    void pushReleaseAll(SourceId source);

    // The callback's verdict for `id`: `decide` turns the event's original
    // writes into those that replace it (none when it was deleted). False
    // when `id` is not waiting, e.g. after a time-out let it through.
    using Decide = std::function<std::vector<KeyWrite>(const std::vector<KeyWrite>& original)>;
    bool settle(uint64_t id, const Decide& decide);

    // Every waiting event goes out as it came.
    void passAllWaiting();

    // Moves the writes that may go out now, oldest first, into `out`,
    // through `keys`, which drops releases and repeats of keys that are not
    // down.
    void takeReady(VirtualKeyState& keys, std::vector<RoutedWrite>& out);

    // Everything is dropped: what waited went out some other way.
    void clear() { items_.clear(); }

    // The deadline of the oldest waiting event, if one waits.
    std::optional<Clock::time_point> nextDeadline() const;

    bool empty() const { return items_.empty(); }

private:
    struct Item {
        uint64_t id = 0; // 0: decided when pushed
        bool waiting = false;
        bool releaseAll = false;
        std::vector<KeyWrite> writes;
        SourceId source = 0;
        Clock::time_point deadline{};
    };
    std::deque<Item> items_;
};

}  // namespace evdev
