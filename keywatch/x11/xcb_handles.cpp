#include "xcb_handles.h"

namespace x11 {

Connection connectToDisplay()
{
    // A null name makes libxcb read DISPLAY, as every X client does.
    Connection connection{xcb_connect(nullptr, nullptr)};
    if (isBroken(connection.get())) {
        return nullptr;
    }
    return connection;
}

}  // namespace x11
