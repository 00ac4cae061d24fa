// Which input frame was being captured at a moment of the platform's clock,
// estimated from when buffers were delivered. A buffer comes only after its
// last frame was captured, so the earliest deliveries of the last two
// seconds tell the device's clock best; later ones carry the server's own
// delays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace recorder {

class CaptureClock {
public:
    // `endFrame` frames have been captured, the last of them at
    // `lastFrameNs` as the platform dates it (0: it cannot).
    void note(int64_t endFrame, uint64_t lastFrameNs, double sampleRate);
    // The frame captured at `nowNs`; nothing while no date is known.
    std::optional<int64_t> frameAt(uint64_t nowNs) const;
    void reset();

private:
    // The earliest estimate of when frame 0 was captured, per tenth of a
    // second of deliveries.
    struct Slot {
        uint64_t tenth = 0;
        double originNs = 0;
        bool used = false;
    };
    static constexpr size_t kSlots = 20;

    std::optional<double> earliestOrigin(uint64_t nowNs) const;

    double sampleRate_ = 0;
    std::array<Slot, kSlots> slots_{};
};

}  // namespace recorder
