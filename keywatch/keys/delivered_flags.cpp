#include "delivered_flags.h"

namespace keys {

void DeliveredFlags::startBatch()
{
    if (!pending_.empty()) {
        last_ = pending_.back().flags;
        pending_.clear();
    }
}

void DeliveredFlags::settled(uint64_t id)
{
    while (!pending_.empty()) {
        const Handed front = pending_.front();
        pending_.pop_front();
        last_ = front.flags;
        if (front.id == id) {
            return;
        }
    }
}

}  // namespace keys
