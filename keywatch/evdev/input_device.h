// One keyboard under /dev/input, read through libevdev: what it is, the
// keys it holds down, and the exclusive grab that keeps its events from
// every other reader (the display server included).
#pragma once

#include "key_tracker.h"
#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct libevdev;

namespace evdev {

// The name of keywatch's own virtual keyboard, which is never tapped.
inline constexpr char kVirtualKeyboardName[] = "keywatch virtual keyboard";

// A key event as read, with the time the kernel stamped on it.
struct TimedKey {
    KeyWrite key;
    std::chrono::nanoseconds stamp{}; // CLOCK_MONOTONIC
};

enum class ReadEnd {
    drained, // nothing more to read now
    gone,    // the device vanished or failed; drop it
};

struct LibevdevFree {
    void operator()(libevdev* device) const;
};
using LibevdevHandle = std::unique_ptr<libevdev, LibevdevFree>;

class InputDevice {
public:
    // Opens `path` (for writing too, where allowed, to set its lights) if it
    // is a keyboard (keys A and Z, or Caps
    // Lock) other than a keywatch virtual keyboard. Null otherwise.
    static std::unique_ptr<InputDevice> openKeyboard(const std::string& path);
    ~InputDevice();
    InputDevice(const InputDevice&) = delete;
    InputDevice& operator=(const InputDevice&) = delete;

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    dev_t deviceNumber() const { return rdev_; }
    bool capsLockLit() const;
    // Sets a lock light; keyboards opened read-only keep theirs.
    void setLight(uint16_t led, bool on);
    // The keys down as far as the events read so far tell.
    std::vector<uint16_t> keysDown() const;

    // Reads every key event that is there now, in order, resynchronising
    // after the kernel dropped events.
    ReadEnd read(const std::function<void(const TimedKey&)>& onKey);

    // The kernel's view: no key of this device is down.
    bool allKeysUp() const;

    // Takes the grab if no key is down, and keeps it only if none went down
    // meanwhile: a key the display server saw pressed must reach it
    // released. Events stamped before grabbedSince() were seen by others.
    // A keyboard that is also a pointer is never grabbed: only its keys
    // would be re-emitted, and the pointer would die.
    bool tryGrab();
    void ungrab();
    bool grabbed() const { return grabbed_; }
    std::chrono::nanoseconds grabbedSince() const { return grabbedSince_; }

private:
    InputDevice(keys::UniqueFd fd, LibevdevHandle device, std::string path, dev_t rdev);

    keys::UniqueFd fd_;
    LibevdevHandle device_;
    std::string path_;
    dev_t rdev_;
    bool pointer_ = false;
    bool grabbed_ = false;
    std::chrono::nanoseconds grabbedSince_{};
};

// Monotonic time, as the kernel stamps events once asked to.
std::chrono::nanoseconds monotonicNow();

// libevdev reports its complaints on standard error unless told otherwise;
// keywatch never writes there.
void silenceLibevdev();

}  // namespace evdev
