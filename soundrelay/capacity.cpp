#include "capacity.h"

#include <cmath>

namespace recorder {

namespace {

// Room for what the converter holds back from earlier buffers and hands out
// at once: up to a transform block of its filter.
constexpr double kSpareFrames = 256.0;

}  // namespace

std::optional<uint32_t> outputCapacity(uint32_t frames, double inputRate, double outputRate)
{
    const double ratio = outputRate / inputRate;
    const double capacity = std::ceil(static_cast<double>(frames) * ratio) + kSpareFrames;
    if (!std::isfinite(capacity) || capacity < 0.0 || capacity > static_cast<double>(UINT32_MAX)) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(capacity);
}

}  // namespace recorder
