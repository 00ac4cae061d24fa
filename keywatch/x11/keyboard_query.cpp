#include "keyboard_query.h"


// The XKB header names a member "explicit", a C++ keyword.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

namespace x11 {

bool enableXkb(xcb_connection_t* connection, Deadline deadline)
{
    if (!hasExtensionBy(connection, &xcb_xkb_id, deadline)) {
        return false;
    }
    const auto cookie = xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION);
    const auto reply = replyBy<xcb_xkb_use_extension_reply_t>(connection, cookie.sequence, deadline);
    return reply && reply->supported;
}

std::optional<KeyboardSnapshot> queryKeyboard(xcb_connection_t* connection, Deadline deadline)
{
    // Both requests go out before either answer is awaited: one round trip.
    const auto keymapCookie = xcb_query_keymap(connection);
    const auto stateCookie = xcb_xkb_get_state(connection, XCB_XKB_ID_USE_CORE_KBD);
    const auto keymap = replyBy<xcb_query_keymap_reply_t>(connection, keymapCookie.sequence, deadline);
    const auto state = replyBy<xcb_xkb_get_state_reply_t>(connection, stateCookie.sequence, deadline);
    if (!keymap || !state) {
        return std::nullopt;
    }
    KeyboardSnapshot snapshot;
    for (unsigned keycode = 0; keycode < snapshot.down.size(); ++keycode) {
        snapshot.down[keycode] = (keymap->keys[keycode / 8] >> (keycode % 8)) & 1;
    }
    snapshot.capsLocked = (state->lockedMods & XCB_MOD_MASK_LOCK) != 0;
    return snapshot;
}

}  // namespace x11
