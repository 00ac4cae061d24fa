// The keywatch binary on a private display, read line by line.
#pragma once

#include "child_process.h"
#include "keywatch_lines.h"
#include "private_xvfb.h"
#include "xtest_keyboard.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kwtest {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

inline constexpr milliseconds kLineWait = 3000ms;

struct RunOptions {
    std::vector<std::string> args;
    std::optional<std::string> display;  // none: DISPLAY is removed
    bool expectOk = true;                // read and check the "ok" line first
    bool stdinOpen = true;               // false: standard input is closed in keywatch
};

class KeywatchRun {
public:
    static std::optional<KeywatchRun> start(const RunOptions& options, std::string* error);

    testsupport::Child& child() { return *child_; }
    const std::string& okLine() const { return okLine_; }

    // The next line, heartbeats included.
    std::optional<std::string> line(milliseconds timeout = kLineWait);
    // The next line that is not a heartbeat.
    std::optional<std::string> event(milliseconds timeout = kLineWait);
    // The heartbeats passed over by event(), oldest first.
    std::vector<std::string> takeSkippedHeartbeats();

    void send(const std::string& command) { child_->writeStdin(command + "\n"); }

    // Closes standard input and waits for the exit status.
    std::optional<int> finish(milliseconds timeout = 5000ms);
    // What keywatch wrote to standard error; call after it has exited.
    std::string stderrText() { return child_->readStderr(500ms); }

private:
    explicit KeywatchRun(testsupport::Child child) : child_(std::move(child)) {}

    std::optional<testsupport::Child> child_;
    std::string okLine_;
    std::vector<std::string> skippedHeartbeats_;
};

using testsupport::isHeartbeat;
using testsupport::kCd;
using testsupport::kCu;

// A process that is not this one's child: exited (a zombie counts) within the timeout.
bool exitsWithin(pid_t pid, milliseconds timeout);

}  // namespace kwtest
