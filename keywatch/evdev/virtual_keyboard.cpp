#include "virtual_keyboard.h"

#include "input_device.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <set>
#include <tuple>

namespace evdev {

namespace {

// Keyboard keys only: the button ranges, the gamepad's direction pad
// among them, would make the device look like a pointer or a joystick.
constexpr unsigned kKeyRanges[][2] = {{KEY_ESC, BTN_MISC}, {KEY_OK, BTN_DPAD_UP}, {BTN_DPAD_RIGHT + 1, BTN_TRIGGER_HAPPY}};

constexpr char kNameSuffix[] = " (keywatch)";
// The kernel keeps 80 bytes of a name, its terminator included.
constexpr size_t kNameLimit = 79;

std::mutex gOwnMutex;
std::set<std::string> gOwnInputNames;

LibevdevHandle describeKeyboard(const KeyboardIdentity& real)
{
    LibevdevHandle device{libevdev_new()};
    if (!device) {
        return nullptr;
    }
    libevdev_set_name(device.get(), virtualKeyboardName(real.name).c_str());
    libevdev_set_id_bustype(device.get(), real.bus);
    libevdev_set_id_vendor(device.get(), real.vendor);
    libevdev_set_id_product(device.get(), real.product);
    libevdev_set_id_version(device.get(), real.version);
    libevdev_enable_event_type(device.get(), EV_KEY);
    libevdev_enable_event_type(device.get(), EV_LED);
    for (const unsigned light : {LED_NUML, LED_CAPSL, LED_SCROLLL, LED_COMPOSE, LED_KANA}) {
        libevdev_enable_event_code(device.get(), EV_LED, light, nullptr);
    }
    for (const auto& range : kKeyRanges) {
        for (unsigned code = range[0]; code < range[1]; ++code) {
            libevdev_enable_event_code(device.get(), EV_KEY, code, nullptr);
        }
    }
    return device;
}

// The kernel stamps the time itself.
input_event eventOf(uint16_t type, uint16_t code, int32_t value)
{
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

}  // namespace

std::string virtualKeyboardName(const std::string& realName)
{
    const size_t room = kNameLimit - (sizeof kNameSuffix - 1);
    return realName.substr(0, room) + kNameSuffix;
}

bool isVirtualKeyboardName(const std::string& name)
{
    const std::string suffix = kNameSuffix;
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isOwnVirtualKeyboard(const std::string& inputName)
{
    std::lock_guard lock(gOwnMutex);
    return !inputName.empty() && gOwnInputNames.count(inputName) != 0;
}

std::unique_ptr<VirtualKeyboard> VirtualKeyboard::createFor(const KeyboardIdentity& real)
{
    silenceLibevdev();
    const LibevdevHandle description = describeKeyboard(real);
    if (!description) {
        return nullptr;
    }
    // Known as this process's own before anyone can see it appear.
    std::lock_guard lock(gOwnMutex);
    libevdev_uinput* device = nullptr;
    if (libevdev_uinput_create_from_device(description.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &device) != 0) {
        return nullptr;
    }
    const char* syspath = libevdev_uinput_get_syspath(device);
    std::string inputName = syspath != nullptr ? syspath : "";
    inputName = inputName.substr(inputName.find_last_of('/') + 1);
    gOwnInputNames.insert(inputName);
    return std::unique_ptr<VirtualKeyboard>(new VirtualKeyboard(device, std::move(inputName)));
}

VirtualKeyboard::VirtualKeyboard(libevdev_uinput* device, std::string inputName)
    : device_(device)
    , inputName_(std::move(inputName))
{
}

VirtualKeyboard::~VirtualKeyboard()
{
    libevdev_uinput_destroy(device_);
    std::lock_guard lock(gOwnMutex);
    gOwnInputNames.erase(inputName_);
}

std::string VirtualKeyboard::devnode() const
{
    const char* node = libevdev_uinput_get_devnode(device_);
    return node != nullptr ? node : "";
}

// One write for the lot: each key and its report.
void VirtualKeyboard::emit(const std::vector<KeyWrite>& keys)
{
    std::vector<input_event> events;
    events.reserve(keys.size() * 2);
    for (const KeyWrite& key : keys) {
        events.push_back(eventOf(EV_KEY, key.code, key.value));
        events.push_back(eventOf(EV_SYN, SYN_REPORT, 0));
    }
    std::ignore = ::write(fd(), events.data(), events.size() * sizeof(input_event));
}

int VirtualKeyboard::fd() const { return libevdev_uinput_get_fd(device_); }

std::vector<KeyWrite> VirtualKeyboard::takeLights()
{
    std::vector<KeyWrite> lights;
    std::array<input_event, 32> events{};
    const ssize_t length = ::read(fd(), events.data(), sizeof events);
    for (ssize_t i = 0; length > 0 && i < length / static_cast<ssize_t>(sizeof(input_event)); ++i) {
        const input_event& event = events[static_cast<size_t>(i)];
        if (event.type == EV_LED) {
            lights.push_back({event.code, event.value});
        }
    }
    return lights;
}

}  // namespace evdev
