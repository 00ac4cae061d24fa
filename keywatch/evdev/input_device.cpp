#include "input_device.h"

#include "virtual_keyboard.h"

#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

namespace evdev {

namespace {

bool isKeyboard(const libevdev* device)
{
    if (!libevdev_has_event_type(device, EV_KEY)) {
        return false;
    }
    const bool letters =
        libevdev_has_event_code(device, EV_KEY, KEY_A) && libevdev_has_event_code(device, EV_KEY, KEY_Z);
    return letters || libevdev_has_event_code(device, EV_KEY, KEY_CAPSLOCK);
}

// The sysfs directory of the input device behind a sysfs link, e.g.
// "/sys/devices/virtual/input/input12".
std::string resolvedInputDevice(const std::string& link)
{
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(link.c_str(), resolved.data()) == nullptr) {
        return "";
    }
    return resolved.data();
}

std::string leafOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

std::string sysfsOfNumber(dev_t number)
{
    return resolvedInputDevice("/sys/dev/char/" + std::to_string(major(number)) + ":" +
                               std::to_string(minor(number)) + "/device");
}

int openForReading(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 ? fd : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void dropLogLine(libevdev_log_priority, void*, const char*, int, const char*, const char*,
                 va_list)
{
}

std::chrono::nanoseconds stampOf(const input_event& event)
{
    return std::chrono::seconds(event.input_event_sec) + std::chrono::microseconds(event.input_event_usec);
}

}  // namespace

std::chrono::nanoseconds monotonicNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void silenceLibevdev()
{
    static std::once_flag once;
    std::call_once(once, [] { libevdev_set_log_function(dropLogLine, nullptr); });
}

std::string inputDeviceName(const std::string& eventNode)
{
    return leafOf(resolvedInputDevice("/sys/class/input/" + leafOf(eventNode) + "/device"));
}

std::string inputDeviceName(dev_t deviceNumber) { return leafOf(sysfsOfNumber(deviceNumber)); }

std::unique_ptr<InputDevice> InputDevice::openKeyboard(const std::string& path)
{
    silenceLibevdev();
    // An open of a virtual keyboard's node tells that the desktop has
    // taken it, so this process never opens its own.
    if (isOwnVirtualKeyboard(inputDeviceName(path))) {
        return nullptr;
    }
    keys::UniqueFd fd{openForReading(path)};
    if (fd.get() < 0) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return nullptr;
    }
    libevdev* opened = nullptr;
    if (libevdev_new_from_fd(fd.get(), &opened) != 0) {
        return nullptr;
    }
    LibevdevHandle device{opened};
    if (!isKeyboard(device.get()) || isOwnVirtualKeyboard(inputDeviceName(status.st_rdev)) ||
        libevdev_set_clock_id(device.get(), CLOCK_MONOTONIC) != 0) {
        return nullptr;
    }
    return std::unique_ptr<InputDevice>(new InputDevice(std::move(fd), std::move(device), path, status.st_rdev));
}

void LibevdevFree::operator()(libevdev* device) const { libevdev_free(device); }

InputDevice::InputDevice(keys::UniqueFd fd, LibevdevHandle device, std::string path, dev_t rdev)
    : fd_(std::move(fd))
    , device_(std::move(device))
    , path_(std::move(path))
    , rdev_(rdev)
    , pointer_(libevdev_has_event_type(device_.get(), EV_REL) || libevdev_has_event_type(device_.get(), EV_ABS))
{
    const std::string sysfs = sysfsOfNumber(rdev_);
    inputName_ = leafOf(sysfs);
    madeByProgram_ = sysfs.rfind("/sys/devices/virtual/", 0) == 0;
}

KeyboardIdentity InputDevice::identity() const
{
    const char* name = libevdev_get_name(device_.get());
    return {name != nullptr ? name : "",
            static_cast<uint16_t>(libevdev_get_id_bustype(device_.get())),
            static_cast<uint16_t>(libevdev_get_id_vendor(device_.get())),
            static_cast<uint16_t>(libevdev_get_id_product(device_.get())),
            static_cast<uint16_t>(libevdev_get_id_version(device_.get()))};
}

bool InputDevice::isKeywatchOutput() const
{
    return madeByProgram_ && isVirtualKeyboardName(identity().name);
}

InputDevice::~InputDevice()
{
    ungrab();
}

bool InputDevice::capsLockLit() const
{
    return libevdev_has_event_code(device_.get(), EV_LED, LED_CAPSL) && libevdev_get_event_value(device_.get(), EV_LED, LED_CAPSL) != 0;
}

std::vector<uint16_t> InputDevice::keysDown() const
{
    std::vector<uint16_t> down;
    for (unsigned code = 0; code <= KEY_MAX; ++code) {
        if (libevdev_get_event_value(device_.get(), EV_KEY, code) != 0) {
            down.push_back(static_cast<uint16_t>(code));
        }
    }
    return down;
}

void InputDevice::setLight(uint16_t led, bool on)
{
    if (libevdev_has_event_code(device_.get(), EV_LED, led)) {
        libevdev_kernel_set_led_value(device_.get(), led, on ? LIBEVDEV_LED_ON : LIBEVDEV_LED_OFF);
    }
}

ReadEnd InputDevice::read(const std::function<void(const TimedKey&)>& onKey)
{
    unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
    for (;;) {
        input_event event{};
        const int status = libevdev_next_event(device_.get(), flags, &event);
        if (status == -EAGAIN) {
            if (flags == LIBEVDEV_READ_FLAG_SYNC) {
                flags = LIBEVDEV_READ_FLAG_NORMAL;
                continue;
            }
            return ReadEnd::drained;
        }
        if (status == LIBEVDEV_READ_STATUS_SYNC) {
            flags = LIBEVDEV_READ_FLAG_SYNC;
        } else if (status != LIBEVDEV_READ_STATUS_SUCCESS) {
            return ReadEnd::gone;
        }
        if (event.type == EV_KEY && event.code <= KEY_MAX && event.value >= 0 && event.value <= 2) {
            onKey({{static_cast<uint16_t>(event.code), event.value}, stampOf(event)});
        }
    }
}

bool InputDevice::allKeysUp() const
{
    std::array<unsigned char, KEY_MAX / 8 + 1> bits{};
    if (::ioctl(fd_.get(), EVIOCGKEY(sizeof bits), bits.data()) < 0) {
        return false;
    }
    for (const unsigned char byte : bits) {
        if (byte != 0) {
            return false;
        }
    }
    return true;
}

GrabResult InputDevice::tryGrab()
{
    if (grabbed_) {
        return GrabResult::grabbed;
    }
    if (pointer_) {
        return GrabResult::pointer;
    }
    if (!allKeysUp()) {
        return GrabResult::keysDown;
    }
    const auto before = monotonicNow();
    if (::ioctl(fd_.get(), EVIOCGRAB, 1) != 0) {
        return errno == EBUSY ? GrabResult::heldElsewhere : GrabResult::keysDown;
    }
    grabbed_ = true;
    grabbedSince_ = before;
    if (!allKeysUp()) {
        ungrab();
        return GrabResult::keysDown;
    }
    return GrabResult::grabbed;
}

int grabRefusal(int fd)
{
    if (::ioctl(fd, EVIOCGRAB, 1) != 0) {
        return errno;
    }
    ::ioctl(fd, EVIOCGRAB, 0);
    return 0;
}

bool InputDevice::heldElsewhere()
{
    return !grabbed_ && allKeysUp() && grabRefusal(fd_.get()) == EBUSY;
}

void InputDevice::ungrab()
{
    if (grabbed_) {
        ::ioctl(fd_.get(), EVIOCGRAB, 0);
        grabbed_ = false;
    }
}

}  // namespace evdev
