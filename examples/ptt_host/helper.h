// One helper program as the host runs it: started, read line by line,
// stopped in steps, and restarted a bounded number of times.
#pragma once

#include "child_process.h"
#include "line_reader.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace ptthost {

// Each step of a stop gets this long: both helpers end within
// milliseconds of the end of their input.
inline constexpr std::chrono::milliseconds kStopGrace{2000};

class Helper {
public:
    using Clock = std::chrono::steady_clock;

    Helper(std::string name, std::string path, std::vector<std::string> args, bool pcmPipe);

    const std::string& name() const { return name_; }
    bool running() const { return child_.has_value(); }
    pid_t pid() const { return child_ ? child_->pid() : -1; }
    int stdoutFd() const { return child_ ? child_->stdoutFd() : -1; }
    int pcmFd() const { return child_ ? child_->pcmFd() : -1; }

    // Starts the program; false with `error` set when it cannot be started.
    bool launch(std::string& error);
    // The next line it writes, waited for up to `timeout`; none at the
    // timeout or when its output has ended.
    std::optional<std::string> awaitLine(std::chrono::milliseconds timeout);
    // Appends the lines its output holds now; false once the output has ended.
    bool readLines(std::vector<std::string>& lines);
    bool send(const std::string& line) { return child_ && child_->writeLine(line); }
    void closeInput();

    // Stops it in steps (end of input, SIGTERM, SIGKILL), each given
    // `grace`, and reaps it. Returns how it ended; "not running" when it
    // was not.
    std::string stop(std::chrono::milliseconds grace = kStopGrace);

    // Whether one more restart is allowed: a few in a row, and a helper that
    // has run for a while counts as healthy again.
    bool mayRestart() const;

private:
    std::string name_;
    std::string path_;
    std::vector<std::string> args_;
    bool pcmPipe_ = false;
    std::optional<ChildProcess> child_;
    LineReader reader_;
    std::deque<std::string> pending_;  // read by awaitLine() ahead of time
    int startsInARow_ = 0;
    Clock::time_point startedAt_;
};

}  // namespace ptthost
