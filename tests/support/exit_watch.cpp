#include "exit_watch.h"

#include "fd_wait.h"

#include <unistd.h>

#include <cerrno>

#ifdef __linux__
#include <sys/syscall.h>
#else
#include <sys/event.h>
#include <sys/time.h>
#endif

namespace testsupport {

#ifdef __linux__

// A pidfd becomes readable when the process exits.
ExitWatch::ExitWatch(pid_t pid) : fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

bool ExitWatch::wait(std::chrono::steady_clock::time_point deadline) const
{
    return valid() && waitReadable(fd_, deadline);
}

#else

ExitWatch::ExitWatch(pid_t pid) : fd_(::kqueue())
{
    if (fd_ < 0) {
        return;
    }
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (::kevent(fd_, &change, 1, nullptr, 0, nullptr) < 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        errno = error;
    }
}

bool ExitWatch::wait(std::chrono::steady_clock::time_point deadline) const
{
    while (valid()) {
        const int left = remainingMs(deadline);
        const struct timespec timeout {left / 1000, static_cast<long>(left % 1000) * 1000000L};
        struct kevent event;
        const int n = ::kevent(fd_, nullptr, 0, &event, 1, &timeout);
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return false;
}

#endif

ExitWatch::~ExitWatch()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace testsupport
