// The keyboard that applications see while the active tap holds a real
// one: a uinput device that re-emits what the tap lets through, with the
// real keyboard's bus, vendor, product and version, so that the desktop
// treats its keys as typed there (disable-while-typing, tablet mode,
// per-device settings). Removing it (destruction) releases whatever it
// still holds down. It has the lock lights too: the display server sets
// them here, since it cannot reach a grabbed keyboard, and the tap hands
// them on.
#pragma once

#include "input_device.h"
#include "key_tracker.h"

#include <memory>
#include <string>
#include <vector>

struct libevdev_uinput;

namespace evdev {

// "<name of the real keyboard> (keywatch)".
std::string virtualKeyboardName(const std::string& realName);
bool isVirtualKeyboardName(const std::string& name);

// Whether the input device called `inputName` (e.g. "input12") is a
// virtual keyboard this process made. Known by the kernel's own name of
// the device, which no other program can take.
bool isOwnVirtualKeyboard(const std::string& inputName);

class VirtualKeyboard {
public:
    // Null when /dev/uinput cannot be opened or the device not made.
    static std::unique_ptr<VirtualKeyboard> createFor(const KeyboardIdentity& real);
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    // Emits the keys, each followed by a report, as the kernel expects.
    void emit(const std::vector<KeyWrite>& keys);

    // Readable when the lights were set.
    int fd() const;
    // The lights set since the last call, as (LED code, on) pairs.
    std::vector<KeyWrite> takeLights();

    // Its event node, e.g. /dev/input/event7; empty when not known.
    std::string devnode() const;

private:
    VirtualKeyboard(libevdev_uinput* device, std::string inputName);
    libevdev_uinput* device_;
    std::string inputName_;
};

}  // namespace evdev
