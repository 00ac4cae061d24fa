// Waits for a process to end without polling its status: a pidfd on
// Linux, a kqueue watching the process elsewhere.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace testsupport {

class ExitWatch {
public:
    // Not valid when the process cannot be watched; errno then says why
    // (ESRCH: it is gone already).
    explicit ExitWatch(pid_t pid);
    ~ExitWatch();
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;

    bool valid() const { return fd_ >= 0; }
    // True once the process has ended, false at the deadline.
    bool wait(std::chrono::steady_clock::time_point deadline) const;

private:
    int fd_ = -1;
};

}  // namespace testsupport
