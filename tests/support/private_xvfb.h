// A virtual X display of the test's own: started on a free display number
// that no other test process starts from (or a given one), ready to take
// clients when start() returns, and ended when its owner goes.
#pragma once

#include "child_process.h"

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct XvfbOptions {
    std::optional<int> displayNumber;    // none: a free one
    std::vector<std::string> extraArgs;  // e.g. "-extension", "RECORD"
};

class PrivateXvfb {
public:
    // Empty with `error` filled in when no server came up in time.
    static std::optional<PrivateXvfb> start(std::string* error = nullptr, const XvfbOptions& options = {});

    PrivateXvfb(PrivateXvfb&&) = default;
    PrivateXvfb& operator=(PrivateXvfb&&) = default;
    ~PrivateXvfb() { stop(); }

    int number() const { return number_; }
    // The display name, ":N", as DISPLAY takes it.
    // Appended rather than concatenated: gcc 12's optimiser raises a false
    // -Wrestrict on the operator+ form in Release builds.
    std::string name() const
    {
        std::string display = ":";
        display += std::to_string(number_);
        return display;
    }
    std::string displayEnv() const { return "DISPLAY=" + name(); }

    // Freezes the server (SIGSTOP): it takes no request until resume().
    void pause();
    void resume();

    // Ends the server and waits for it (bounded): its exit status, 0 for a
    // clean end; nothing when it would not end. A server that already ended
    // answers as it did then. A paused server is resumed first.
    std::optional<int> stop();

private:
    static std::optional<PrivateXvfb> startOn(int number, std::string* error, const XvfbOptions& options);
    PrivateXvfb(Child server, int number) : server_(std::move(server)), number_(number) {}

    std::optional<Child> server_;
    std::optional<int> exitStatus_;
    int number_ = -1;
};

}  // namespace testsupport
