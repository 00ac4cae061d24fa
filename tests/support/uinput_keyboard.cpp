#include "uinput_keyboard.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include <cstring>
#include <filesystem>

namespace testsupport {

namespace {

struct FreeDescription {
    void operator()(libevdev* description) const { libevdev_free(description); }
};

// Without udev the library's own lookup may find nothing; the kernel's name
// for the device leads to its event node through sysfs.
std::string eventNodeOf(libevdev_uinput* device)
{
    if (const char* node = libevdev_uinput_get_devnode(device)) {
        return node;
    }
    char sysname[64] = {};
    if (::ioctl(libevdev_uinput_get_fd(device), UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::path("/sys/devices/virtual/input") / sysname;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("event", 0) == 0) {
            return "/dev/input/" + name;
        }
    }
    return {};
}

}  // namespace

void UinputKeyboard::Destroy::operator()(libevdev_uinput* device) const
{
    libevdev_uinput_destroy(device);
}

std::optional<UinputKeyboard> UinputKeyboard::create(const std::string& name, std::string* error)
{
    std::vector<unsigned> codes;
    for (unsigned code = 1; code <= 255; ++code) {
        codes.push_back(code);
    }
    return createWithKeys(name, codes, error);
}

std::optional<UinputKeyboard> UinputKeyboard::createWithKeys(const std::string& name,
                                                             const std::vector<unsigned>& codes, std::string* error)
{
    auto fail = [&](const std::string& what, int code) -> std::optional<UinputKeyboard> {
        if (error != nullptr) {
            *error = what + ": " + std::strerror(code);
        }
        return std::nullopt;
    };
    std::unique_ptr<libevdev, FreeDescription> description(libevdev_new());
    if (!description) {
        return fail("libevdev_new", ENOMEM);
    }
    libevdev_set_name(description.get(), name.c_str());
    libevdev_set_id_bustype(description.get(), BUS_USB);
    libevdev_set_id_vendor(description.get(), 0x1d6b);
    libevdev_set_id_product(description.get(), 0x0104);
    libevdev_enable_event_type(description.get(), EV_KEY);
    for (unsigned code : codes) {
        libevdev_enable_event_code(description.get(), EV_KEY, code, nullptr);
    }
    if (std::find(codes.begin(), codes.end(), KEY_CAPSLOCK) != codes.end()) {
        libevdev_enable_event_type(description.get(), EV_LED);
        for (const unsigned light : {LED_NUML, LED_CAPSL, LED_SCROLLL}) {
            libevdev_enable_event_code(description.get(), EV_LED, light, nullptr);
        }
    }
    libevdev_uinput* raw = nullptr;
    const int rc = libevdev_uinput_create_from_device(description.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &raw);
    if (rc < 0) {
        return fail("creating " + name + " through /dev/uinput", -rc);
    }
    std::unique_ptr<libevdev_uinput, Destroy> device(raw);
    std::string node = eventNodeOf(raw);
    if (node.empty()) {
        return fail("no event node for " + name, ENOENT);
    }
    return UinputKeyboard(std::move(device), std::move(node));
}

std::optional<std::pair<unsigned, int>> UinputKeyboard::nextLight(int timeoutMs)
{
    pollfd entry{libevdev_uinput_get_fd(device_.get()), POLLIN, 0};
    while (::poll(&entry, 1, timeoutMs) > 0) {
        input_event event{};
        if (::read(entry.fd, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
            return std::nullopt;
        }
        if (event.type == EV_LED) {
            return std::make_pair(static_cast<unsigned>(event.code), event.value);
        }
    }
    return std::nullopt;
}

bool UinputKeyboard::send(unsigned code, int value)
{
    return libevdev_uinput_write_event(device_.get(), EV_KEY, code, value) == 0 &&
           libevdev_uinput_write_event(device_.get(), EV_SYN, SYN_REPORT, 0) == 0;
}

}  // namespace testsupport
