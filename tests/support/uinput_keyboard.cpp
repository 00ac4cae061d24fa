#include "uinput_keyboard.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>

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

bool UinputKeyboard::send(unsigned code, int value)
{
    return libevdev_uinput_write_event(device_.get(), EV_KEY, code, value) == 0 &&
           libevdev_uinput_write_event(device_.get(), EV_SYN, SYN_REPORT, 0) == 0;
}

}  // namespace testsupport
