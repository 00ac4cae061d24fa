// A keyboard made through uinput and typed at as if by hand: the kernel
// treats it as a physical device, so every reader of its event node (and a
// program that grabs it) gets what it sends.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct libevdev_uinput;

namespace testsupport {

class UinputKeyboard {
public:
    // Key codes 1..255: letters, digits, modifiers, Caps Lock, Return, Space,
    // F1..F24 and the rest of a full keyboard. Empty with `error` filled in
    // when /dev/uinput cannot make it.
    static std::optional<UinputKeyboard> create(const std::string& name, std::string* error = nullptr);
    // A device with these key codes only.
    static std::optional<UinputKeyboard> createWithKeys(const std::string& name, const std::vector<unsigned>& codes,
                                                        std::string* error = nullptr);

    // Each sends one key event and its SYN_REPORT.
    bool press(unsigned code) { return send(code, 1); }
    bool release(unsigned code) { return send(code, 0); }
    bool repeat(unsigned code) { return send(code, 2); }
    bool tap(unsigned code) { return press(code) && release(code); }
    bool send(unsigned code, int value);

    // The next lock light a reader set on this device, as (LED code, value);
    // keyboards with Caps Lock have lights.
    std::optional<std::pair<unsigned, int>> nextLight(int timeoutMs);

    // /dev/input/eventN of this device.
    const std::string& devnode() const { return devnode_; }

private:
    struct Destroy {
        void operator()(libevdev_uinput* device) const;
    };
    UinputKeyboard(std::unique_ptr<libevdev_uinput, Destroy> device, std::string devnode)
        : device_(std::move(device)), devnode_(std::move(devnode))
    {
    }

    std::unique_ptr<libevdev_uinput, Destroy> device_;
    std::string devnode_;
};

}  // namespace testsupport
