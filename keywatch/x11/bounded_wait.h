// Waits on the server that end at a deadline. A server that is stopped or
// hung never answers, and libxcb's own waits (xcb_wait_for_reply, a flush
// into a full socket) would then hold the caller for good; these treat
// such a server like one that went away.
#pragma once

#include "xcb_handles.h"

#include <chrono>

namespace x11 {

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline deadlineIn(std::chrono::milliseconds wait)
{
    return std::chrono::steady_clock::now() + wait;
}

// Sends what libxcb holds for the server once the socket can take it.
// False when it could not by the deadline or the connection failed.
bool flushBy(xcb_connection_t* connection, Deadline deadline);

// The answer to request `sequence`: true with `reply` (or `error`) set, or
// with neither for a request that has no reply; false when none came by
// the deadline.
bool awaitAnswer(xcb_connection_t* connection, unsigned int sequence, Deadline deadline, void** reply,
                 xcb_generic_error_t** error);

// The reply to a request; empty when it failed or did not come in time.
template <typename T>
Reply<T> replyBy(xcb_connection_t* connection, unsigned int sequence, Deadline deadline)
{
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!awaitAnswer(connection, sequence, deadline, &reply, &error)) {
        return nullptr;
    }
    Error dropped{error};
    return Reply<T>{static_cast<T*>(reply)};
}

// Whether the server has handled every request sent before, by the deadline.
bool syncBy(xcb_connection_t* connection, Deadline deadline);

// Whether a checked request without a reply succeeded, by the deadline.
bool succeededBy(xcb_connection_t* connection, xcb_void_cookie_t cookie, Deadline deadline);

// Whether the server has the extension; asks it at most once a connection.
bool hasExtensionBy(xcb_connection_t* connection, xcb_extension_t* extension, Deadline deadline);

}  // namespace x11
