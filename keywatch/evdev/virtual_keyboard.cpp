#include "virtual_keyboard.h"

#include "input_device.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <linux/input.h>
#include <unistd.h>

#include <array>
#include <tuple>

namespace evdev {

namespace {

// Keyboard keys only: the button ranges would make the device look like a
// pointer or a joystick to the display server.
constexpr unsigned kKeyRanges[][2] = {{KEY_ESC, BTN_MISC}, {KEY_OK, BTN_TRIGGER_HAPPY}};

LibevdevHandle describeKeyboard()
{
    LibevdevHandle device{libevdev_new()};
    if (!device) {
        return nullptr;
    }
    libevdev_set_name(device.get(), kVirtualKeyboardName);
    libevdev_set_id_bustype(device.get(), BUS_VIRTUAL);
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

std::unique_ptr<VirtualKeyboard> VirtualKeyboard::create()
{
    silenceLibevdev();
    const LibevdevHandle description = describeKeyboard();
    if (!description) {
        return nullptr;
    }
    libevdev_uinput* device = nullptr;
    if (libevdev_uinput_create_from_device(description.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &device) != 0) {
        return nullptr;
    }
    return std::unique_ptr<VirtualKeyboard>(new VirtualKeyboard(device));
}

VirtualKeyboard::~VirtualKeyboard()
{
    libevdev_uinput_destroy(device_);
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
