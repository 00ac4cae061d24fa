// The keyboard that applications see while the active tap holds the real
// ones: a uinput device that re-emits what the tap lets through. Removing
// it (destruction) releases whatever it still holds down. It has the lock
// lights too: the display server sets them here, since it cannot reach a
// grabbed keyboard, and the tap hands them on.
#pragma once

#include "key_tracker.h"

#include <memory>
#include <vector>

struct libevdev_uinput;

namespace evdev {

class VirtualKeyboard {
public:
    // Null when /dev/uinput cannot be opened or the device not made.
    static std::unique_ptr<VirtualKeyboard> create();
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    // Emits the keys, each followed by a report, as the kernel expects.
    void emit(const std::vector<KeyWrite>& keys);

    // Readable when the lights were set.
    int fd() const;
    // The lights set since the last call, as (LED code, on) pairs.
    std::vector<KeyWrite> takeLights();

private:
    explicit VirtualKeyboard(libevdev_uinput* device) : device_(device) {}
    libevdev_uinput* device_;
};

}  // namespace evdev
