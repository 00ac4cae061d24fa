// SIGINT and SIGTERM turned into a readable descriptor, so the poll loop
// sees a stop request like any other input.
#pragma once

#include <string>

namespace ptthost {

class StopSignals {
public:
    // Installs the handlers (once per process) and ignores SIGPIPE: a write
    // to a helper that has died then fails instead of ending the host.
    static bool install(std::string& error);
    // Readable once a stop signal has arrived.
    static int fd();
    // The signal that arrived (the last of several), or 0; empties the pipe.
    static int take();
};

}  // namespace ptthost
