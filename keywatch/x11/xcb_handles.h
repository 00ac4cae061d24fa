// Owners for what libxcb hands out: connections are closed with
// xcb_disconnect, replies and errors are malloc'd and freed with free.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace x11 {

struct ConnectionCloser {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

struct MallocFree {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Reply = std::unique_ptr<T, MallocFree>;
using Error = Reply<xcb_generic_error_t>;

// True once the connection has failed; it never recovers.
inline bool isBroken(xcb_connection_t* connection)
{
    return connection == nullptr || xcb_connection_has_error(connection) != 0;
}

}  // namespace x11
