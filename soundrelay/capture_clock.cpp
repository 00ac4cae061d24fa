#include "capture_clock.h"

#include <algorithm>
#include <cmath>

namespace recorder {

namespace {

constexpr uint64_t kSlotNs = 100'000'000;
// An estimate this much later than the window's means frames were lost (an
// overrun): what came before no longer describes the frames to come.
constexpr double kLostNs = 100e6;

}  // namespace

void CaptureClock::note(int64_t endFrame, uint64_t lastFrameNs, double sampleRate)
{
    if (lastFrameNs == 0 || !(sampleRate > 0.0)) {
        reset();
        return;
    }
    if (sampleRate != sampleRate_) {
        reset();
        sampleRate_ = sampleRate;
    }
    const double origin = static_cast<double>(lastFrameNs) - static_cast<double>(endFrame) * 1e9 / sampleRate;
    const auto earliest = earliestOrigin(lastFrameNs);
    if (earliest && origin - *earliest > kLostNs) {
        slots_.fill(Slot{});
    }
    const uint64_t tenth = lastFrameNs / kSlotNs;
    Slot& slot = slots_[tenth % kSlots];
    if (!slot.used || slot.tenth != tenth) {
        slot = Slot{tenth, origin, true};
        return;
    }
    slot.originNs = std::min(slot.originNs, origin);
}

std::optional<int64_t> CaptureClock::frameAt(uint64_t nowNs) const
{
    const auto origin = earliestOrigin(nowNs);
    if (!origin) {
        return std::nullopt;
    }
    return std::llround((static_cast<double>(nowNs) - *origin) * sampleRate_ / 1e9);
}

std::optional<double> CaptureClock::earliestOrigin(uint64_t nowNs) const
{
    const uint64_t now = nowNs / kSlotNs;
    std::optional<double> earliest;
    for (const Slot& slot : slots_) {
        if (slot.used && slot.tenth <= now && now - slot.tenth < kSlots) {
            earliest = std::min(earliest.value_or(slot.originNs), slot.originNs);
        }
    }
    return earliest;
}

void CaptureClock::reset()
{
    slots_.fill(Slot{});
    sampleRate_ = 0;
}

}  // namespace recorder
