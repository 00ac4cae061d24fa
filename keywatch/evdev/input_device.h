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

// What a keyboard is, as the desktop tells keyboards apart: its virtual
// keyboard takes these on.
struct KeyboardIdentity {
    std::string name;
    uint16_t bus = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t version = 0;
};

// The kernel's name of the input device behind an event node or device
// number, e.g. "input12". It is never used twice while the system runs, so
// a keyboard plugged in again on the same node is told from the one before.
std::string inputDeviceName(const std::string& eventNode);
std::string inputDeviceName(dev_t deviceNumber);

// Asks whether another program holds the grab of the open device `fd`, by
// taking the grab for an instant: 0 when it was free, else the error
// (EBUSY while another holds it).
int grabRefusal(int fd);

enum class GrabResult {
    grabbed,
    keysDown,      // try again once they are up
    pointer,       // never: the pointer would die
    heldElsewhere, // another program holds it
};

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
    // is a keyboard (keys A and Z, or Caps Lock) other than one of this
    // process's virtual keyboards, which are not even opened. Null
    // otherwise.
    static std::unique_ptr<InputDevice> openKeyboard(const std::string& path);
    ~InputDevice();
    InputDevice(const InputDevice&) = delete;
    InputDevice& operator=(const InputDevice&) = delete;

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    dev_t deviceNumber() const { return rdev_; }
    // inputDeviceName() of this keyboard; with the device number it names
    // this keyboard and no other.
    const std::string& inputName() const { return inputName_; }
    KeyboardIdentity identity() const;
    // Made through uinput by some program, not by a driver.
    bool madeByProgram() const { return madeByProgram_; }
    // The virtual keyboard of another keywatch: taken would feed it back.
    bool isKeywatchOutput() const;
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
    GrabResult tryGrab();
    void ungrab();
    // Whether another program holds the grab. Asked only while no key is
    // down: the question takes the grab for an instant.
    bool heldElsewhere();
    // The grab went without this process: another let it go for it.
    void grabLost() { grabbed_ = false; }
    bool grabbed() const { return grabbed_; }
    bool isPointer() const { return pointer_; }
    std::chrono::nanoseconds grabbedSince() const { return grabbedSince_; }

private:
    InputDevice(keys::UniqueFd fd, LibevdevHandle device, std::string path, dev_t rdev);

    keys::UniqueFd fd_;
    LibevdevHandle device_;
    std::string path_;
    dev_t rdev_;
    std::string inputName_;
    bool madeByProgram_ = false;
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
