// The keyboard that applications see while the active tap holds the real
// ones: a uinput device that re-emits what the tap lets through. Removing
// it (destruction) releases whatever it still holds down.
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

private:
    explicit VirtualKeyboard(libevdev_uinput* device) : device_(device) {}
    libevdev_uinput* device_;
};

}  // namespace evdev
