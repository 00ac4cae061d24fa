// Types on an X display as a person would, through XTEST, by X keycode.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct xcb_connection_t;

namespace testsupport {

// X keycodes of the evdev keymap (Linux input code + 8).
namespace xkey {
inline constexpr uint8_t kEscape = 9;
inline constexpr uint8_t kTab = 23;
inline constexpr uint8_t kQ = 24;
inline constexpr uint8_t kReturn = 36;
inline constexpr uint8_t kLeftControl = 37;
inline constexpr uint8_t kA = 38;
inline constexpr uint8_t kS = 39;
inline constexpr uint8_t kLeftShift = 50;
inline constexpr uint8_t kZ = 52;
inline constexpr uint8_t kB = 56;
inline constexpr uint8_t kRightShift = 62;
inline constexpr uint8_t kLeftAlt = 64;
inline constexpr uint8_t kSpace = 65;
inline constexpr uint8_t kCapsLock = 66;
inline constexpr uint8_t kF1 = 67;
inline constexpr uint8_t kRightControl = 105;
inline constexpr uint8_t kRightAlt = 108;
inline constexpr uint8_t kUp = 111;
inline constexpr uint8_t kLeft = 113;
inline constexpr uint8_t kRightArrow = 114;
inline constexpr uint8_t kDown = 116;
inline constexpr uint8_t kLeftSuper = 133;
inline constexpr uint8_t kRightSuper = 134;
inline constexpr uint8_t kF13 = 191;
inline constexpr uint8_t kF18 = 196;
inline constexpr uint8_t kF20 = 198;
}  // namespace xkey

class XtestKeyboard {
public:
    // Empty when the display cannot be reached or has no XTEST.
    static std::optional<XtestKeyboard> connect(const std::string& displayName);

    XtestKeyboard(XtestKeyboard&&) noexcept;
    XtestKeyboard& operator=(XtestKeyboard&&) noexcept;
    ~XtestKeyboard();

    bool press(uint8_t keycode);
    bool release(uint8_t keycode);
    bool tap(uint8_t keycode) { return press(keycode) && release(keycode); }

    // Presses (true) and releases, all sent in one write: the server takes
    // them with no pause between them.
    bool typeAtOnce(const std::vector<std::pair<uint8_t, bool>>& strokes);

    // Returns once the server has handled everything sent before.
    bool sync();

    // Whether Caps Lock is locked, as the server's core state says.
    std::optional<bool> capsLocked();

private:
    explicit XtestKeyboard(xcb_connection_t* connection) : connection_(connection) {}
    bool fake(uint8_t type, uint8_t keycode);

    xcb_connection_t* connection_ = nullptr;
};

}  // namespace testsupport
