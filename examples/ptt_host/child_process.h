// A helper program run as a child process: pipes on its standard input and
// output, and for the recorder on descriptor 3. It is stopped in steps and
// always reaped, so no zombie is left behind.
#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ptthost {

class ChildProcess {
public:
    // Starts `path` with `args`, its standard error shared with the host.
    // With `pcmPipe`, descriptor 3 of the child is a pipe to pcmFd().
    // Empty, with `error` saying why, when it cannot be started.
    static std::optional<ChildProcess> start(const std::string& path, const std::vector<std::string>& args,
                                             bool pcmPipe, std::string& error);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running at this point is killed and reaped.
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Both are non-blocking; -1 when the child has none.
    int stdoutFd() const { return stdout_.get(); }
    int pcmFd() const { return pcm_.get(); }

    // Writes one line to its standard input without blocking; false when
    // the child cannot take it (it is gone, or it stopped reading).
    bool writeLine(std::string_view line);
    // End of input: both helpers take it as the request to finish.
    void closeStdin() { stdin_.reset(); }

    // Stops it: closes its standard input and waits up to `grace`, then
    // sends SIGTERM and waits up to `grace` again, then sends SIGKILL.
    // Returns how it ended, e.g. "exited with status 0".
    std::string stop(std::chrono::milliseconds grace);

private:
    ChildProcess() = default;
    bool tryReap();
    bool waitExit(std::chrono::milliseconds timeout);
    void killAndReap();

    pid_t pid_ = -1;
    bool reaped_ = false;
    int waitStatus_ = 0;
    UniqueFd stdin_;
    UniqueFd stdout_;
    UniqueFd pcm_;
};

// A wait status in words: "exited with status 1", "killed by signal 9".
std::string describeExit(int waitStatus);

}  // namespace ptthost
