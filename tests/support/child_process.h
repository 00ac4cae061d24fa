// Starts a program with pipes on its standard descriptors (and optionally
// descriptor 3) and reads what it writes, every read bounded by a timeout.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using std::chrono::milliseconds;

struct ChildOptions {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> extraEnv;     // "KEY=VALUE", added to (or replacing in) the environment
    std::vector<std::string> removeEnv;    // names dropped from the environment
    bool pipeStdin = true;                 // false: standard input is closed in the child
    bool pipeFd3 = false;                  // descriptor 3 is a pipe read by readFd3(); else closed
};

class Child {
public:
    // Empty with `error` filled in when the program cannot be started.
    static std::optional<Child> spawn(const ChildOptions& options, std::string* error = nullptr);

    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Kills and reaps the child if it still runs; closes every pipe.
    ~Child();

    pid_t pid() const { return pid_; }

    bool writeStdin(std::string_view bytes);
    void closeStdin();
    void closeFd3();

    // One line of standard output without its LF, or nothing at the timeout
    // or at end of output.
    std::optional<std::string> readLine(milliseconds timeout);
    // Lines until `count` have arrived or the timeout has passed.
    std::vector<std::string> readLines(size_t count, milliseconds timeout);
    // Everything standard output still carries until it closes or the timeout.
    std::string readRemainingStdout(milliseconds timeout);

    // Appends to `into` what descriptor 3 carries until at least `atLeast`
    // bytes have arrived in all, the pipe closes, or the timeout passes.
    // Returns the total size of `into`.
    size_t readFd3(std::vector<uint8_t>& into, size_t atLeast, milliseconds timeout);
    // Reads descriptor 3 for exactly this long and appends what came.
    void collectFd3For(std::vector<uint8_t>& into, milliseconds duration);

    // All that standard error carried until it closed or the timeout passed.
    std::string readStderr(milliseconds timeout);

    void sendSignal(int signal);
    // The exit status, or 128 + the signal number, or nothing at the timeout.
    std::optional<int> waitExit(milliseconds timeout);

private:
    Child() = default;
    void release();

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitStatus_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    int fd3_ = -1;
    std::string stdoutBuffer_;
    bool stdoutClosed_ = false;
};

}  // namespace testsupport
