// Connecting to the display that DISPLAY names, within a deadline. libxcb
// waits for the server's greeting without a bound, so the connection is
// made on a thread of its own. One the server has not greeted by the
// deadline goes on, and the next callers wait on it instead of starting
// another: a stopped server holds at most one such thread.
#pragma once

#include "bounded_wait.h"
#include "xcb_handles.h"

namespace x11 {

// Empty when no display answered by the deadline. Any thread may call it.
Connection connectToDisplay(Deadline deadline);

}  // namespace x11
