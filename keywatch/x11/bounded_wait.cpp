#include "bounded_wait.h"

#include <xcb/xcbext.h>

#include <poll.h>

#include <cerrno>

namespace x11 {

namespace {

// Waits for the connection's socket to be ready for `events`; false at
// the deadline.
bool readyBy(xcb_connection_t* connection, short events, Deadline deadline)
{
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd socket{xcb_get_file_descriptor(connection), events, 0};
        const int ready = ::poll(&socket, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

// A socket that polls writable has room for far more than the few small
// requests libxcb holds, so the flush does not block.
bool flushBy(xcb_connection_t* connection, Deadline deadline)
{
    if (isBroken(connection) || !readyBy(connection, POLLOUT, deadline)) {
        return false;
    }
    return xcb_flush(connection) > 0;
}

bool awaitAnswer(xcb_connection_t* connection, unsigned int sequence, Deadline deadline, void** reply,
                 xcb_generic_error_t** error)
{
    if (!flushBy(connection, deadline)) {
        return false;
    }
    for (;;) {
        if (xcb_poll_for_reply(connection, sequence, reply, error) != 0) {
            return !isBroken(connection);
        }
        if (!readyBy(connection, POLLIN, deadline)) {
            return false;
        }
    }
}

bool syncBy(xcb_connection_t* connection, Deadline deadline)
{
    const auto cookie = xcb_get_input_focus(connection);
    return replyBy<xcb_get_input_focus_reply_t>(connection, cookie.sequence, deadline) != nullptr;
}

// Once a later request has its reply, the server's error for this one, if
// any, has been read too.
bool succeededBy(xcb_connection_t* connection, xcb_void_cookie_t cookie, Deadline deadline)
{
    if (!syncBy(connection, deadline)) {
        return false;
    }
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, cookie.sequence, &reply, &error) == 0) {
        return false;
    }
    Reply<void> droppedReply{reply};
    Error droppedError{error};
    return error == nullptr && !isBroken(connection);
}

// libxcb answers xcb_get_extension_data from its cache without waiting once
// the reply of the prefetch is in.
bool hasExtensionBy(xcb_connection_t* connection, xcb_extension_t* extension, Deadline deadline)
{
    xcb_prefetch_extension_data(connection, extension);
    if (!syncBy(connection, deadline)) {
        return false;
    }
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present;
}

}  // namespace x11
