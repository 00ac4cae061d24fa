// Size of the output buffer for one converted capture buffer.
#pragma once

#include <cstdint>
#include <optional>

namespace recorder {

// ceil(frames * (outputRate / inputRate)) + 64, the ratio taken first.
// Nothing when the result is not finite or does not fit 32 bits.
std::optional<uint32_t> outputCapacity(uint32_t frames, double inputRate, double outputRate);

}  // namespace recorder
