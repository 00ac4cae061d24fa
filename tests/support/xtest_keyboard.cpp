#include "xtest_keyboard.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <utility>

namespace testsupport {

namespace {

template <typename T>
struct Freed {
    void operator()(T* block) const { std::free(block); }
};
template <typename T>
using Reply = std::unique_ptr<T, Freed<T>>;

}  // namespace

std::optional<XtestKeyboard> XtestKeyboard::connect(const std::string& displayName)
{
    xcb_connection_t* connection = xcb_connect(displayName.c_str(), nullptr);
    XtestKeyboard keyboard(connection);
    if (xcb_connection_has_error(connection) != 0) {
        return std::nullopt;
    }
    const auto* extension = xcb_get_extension_data(connection, &xcb_test_id);
    if (extension == nullptr || !extension->present) {
        return std::nullopt;
    }
    return keyboard;
}

XtestKeyboard::XtestKeyboard(XtestKeyboard&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr))
{
}

XtestKeyboard& XtestKeyboard::operator=(XtestKeyboard&& other) noexcept
{
    if (this != &other) {
        if (connection_ != nullptr) {
            xcb_disconnect(connection_);
        }
        connection_ = std::exchange(other.connection_, nullptr);
    }
    return *this;
}

XtestKeyboard::~XtestKeyboard()
{
    if (connection_ != nullptr) {
        xcb_disconnect(connection_);
    }
}

bool XtestKeyboard::fake(uint8_t type, uint8_t keycode)
{
    xcb_test_fake_input(connection_, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    return xcb_flush(connection_) > 0;
}

bool XtestKeyboard::press(uint8_t keycode)
{
    return fake(XCB_KEY_PRESS, keycode);
}

bool XtestKeyboard::release(uint8_t keycode)
{
    return fake(XCB_KEY_RELEASE, keycode);
}

bool XtestKeyboard::typeAtOnce(const std::vector<std::pair<uint8_t, bool>>& strokes)
{
    for (const auto& [keycode, down] : strokes) {
        xcb_test_fake_input(connection_, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE,
                            0, 0, 0);
    }
    return xcb_flush(connection_) > 0;
}

bool XtestKeyboard::sync()
{
    Reply<xcb_get_input_focus_reply_t> reply{
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)};
    return reply != nullptr;
}

std::optional<bool> XtestKeyboard::capsLocked()
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    Reply<xcb_query_pointer_reply_t> reply{
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root), nullptr)};
    if (!reply) {
        return std::nullopt;
    }
    return (reply->mask & XCB_MOD_MASK_LOCK) != 0;
}

}  // namespace testsupport
