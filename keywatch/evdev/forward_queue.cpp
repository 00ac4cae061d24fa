#include "forward_queue.h"

#include <algorithm>

namespace evdev {

void ForwardQueue::pushWaiting(uint64_t id, std::vector<KeyWrite> original, SourceId source,
                               Clock::time_point deadline)
{
    items_.push_back({id, true, false, std::move(original), source, deadline});
}

void ForwardQueue::pushDecided(std::vector<KeyWrite> writes, SourceId source)
{
    items_.push_back({0, false, false, std::move(writes), source, {}});
}

void ForwardQueue::pushReleaseAll(SourceId source)
{
    items_.push_back({0, false, true, {}, source, {}});
}

bool ForwardQueue::settle(uint64_t id, const Decide& decide)
{
    const auto item = std::find_if(items_.begin(), items_.end(),
                                   [id](const Item& candidate) { return candidate.waiting && candidate.id == id; });
    if (item == items_.end()) {
        return false;
    }
    item->waiting = false;
    item->writes = decide(item->writes);
    return true;
}

void ForwardQueue::passAllWaiting()
{
    for (Item& item : items_) {
        item.waiting = false;
    }
}

void ForwardQueue::takeReady(VirtualKeyState& keys, std::vector<RoutedWrite>& out)
{
    while (!items_.empty() && !items_.front().waiting) {
        const Item& item = items_.front();
        if (item.releaseAll) {
            for (const KeyWrite& release : keys.releaseAllOf(item.source)) {
                out.push_back({item.source, release});
            }
        }
        for (const KeyWrite& write : item.writes) {
            if (const auto admitted = keys.admit(write, item.source)) {
                out.push_back({item.source, *admitted});
            }
        }
        items_.pop_front();
    }
}

std::optional<Clock::time_point> ForwardQueue::nextDeadline() const
{
    const auto item =
        std::find_if(items_.begin(), items_.end(), [](const Item& candidate) { return candidate.waiting; });
    if (item == items_.end()) {
        return std::nullopt;
    }
    return item->deadline;
}

}  // namespace evdev
