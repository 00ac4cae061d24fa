// The system-wide flags as of the event a tap's callback is handling. A
// backend that reads keys ahead of the callback has already seen later
// ones, so it answers from the events it handed out: the flags of the one
// not yet settled, or else of the last one settled. Main thread only.
#pragma once

#include <cstdint>
#include <deque>

namespace keys {

class DeliveredFlags {
public:
    explicit DeliveredFlags(uint64_t flags = 0) : last_(flags) {}

    // A new batch begins: whatever was handed out before has been handled.
    void startBatch();
    // An event handed out, with the flags as of itself.
    void handedOut(uint64_t id, uint64_t flags) { pending_.push_back({id, flags}); }
    // The callback is done with `id`, and with everything handed out before it.
    void settled(uint64_t id);

    uint64_t current() const { return pending_.empty() ? last_ : pending_.front().flags; }

private:
    struct Handed {
        uint64_t id = 0;
        uint64_t flags = 0;
    };
    std::deque<Handed> pending_;
    uint64_t last_;
};

}  // namespace keys
