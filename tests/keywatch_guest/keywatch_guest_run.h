// The keywatch binary in a guest with a real kernel input stack and no
// display, read line by line, with the virtual keyboard it types through.
#pragma once

#include "child_process.h"
#include "keywatch_lines.h"
#include "input_reader.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kwguest {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

inline constexpr milliseconds kLineWait = 3000ms;
// keywatch grabs a keyboard a second after its virtual keyboard appears; a
// guest emulated on a busy machine, under a sanitizer, takes some seconds more.
inline constexpr milliseconds kGrabWait = 10000ms;
inline constexpr char kPhysicalKeyboard[] = "test physical keyboard";
// keywatch's virtual keyboard for the one above.
inline constexpr char kVirtualKeyboard[] = "test physical keyboard (keywatch)";

struct RunOptions {
    std::vector<std::string> args;
    bool expectOk = true;        // read the "ok" line first
    bool openVirtual = true;     // and then open keywatch's virtual keyboard
};

class GuestKeywatch {
public:
    static std::optional<GuestKeywatch> start(const RunOptions& options, std::string* error);

    testsupport::Child& child() { return *child_; }
    const std::string& okLine() const { return okLine_; }
    // What applications get: the events keywatch sends through its virtual keyboard.
    testsupport::InputReader& applications() { return *virtual_; }
    // From now on, applications() reads the virtual keyboard called `name`.
    bool watchOutput(const std::string& name, std::string* error);

    // The next line, heartbeats included.
    std::optional<std::string> line(milliseconds timeout = kLineWait);
    // The next line that is not a heartbeat.
    std::optional<std::string> event(milliseconds timeout = kLineWait);

    void send(const std::string& command) { child_->writeStdin(command + "\n"); }

    // Closes standard input, reads what is left of standard output and waits
    // for the exit status.
    std::optional<int> finish(milliseconds timeout = 5000ms);
    // What keywatch wrote to standard error; call after it has exited.
    std::string stderrText() { return child_->readStderr(500ms); }

private:
    explicit GuestKeywatch(testsupport::Child child) : child_(std::move(child)) {}

    std::optional<testsupport::Child> child_;
    std::optional<testsupport::InputReader> virtual_;
    std::string okLine_;
};

using testsupport::isHeartbeat;
using testsupport::kCd;
using testsupport::kCu;

// The next `count` key events from whichever reader has them first: keys
// that pass keywatch come from its virtual keyboard, keys it does not hold
// straight from the keyboard.
std::vector<testsupport::KeyEvent> takeFromEither(testsupport::InputReader& first, testsupport::InputReader& second,
                                                  size_t count, milliseconds timeout);

// The first place where what came differs from what was sent, or "" when both agree.
std::string firstDifference(const std::vector<testsupport::KeyEvent>& sent,
                            const std::vector<testsupport::KeyEvent>& came);

}  // namespace kwguest
