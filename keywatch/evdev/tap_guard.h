// The keyboard must never wait on a keywatch that cannot run: one stopped
// by a signal or a debugger, or hung. A thread cannot promise that, since
// it stops with its process, so a small process of its own does: the guard.
//
// The guard holds the same open files as the grabbed keyboards and their
// virtual keyboards (passed over a socket), and a page shared with keywatch
// in which keywatch notes when it last read. When a grabbed keyboard's
// events have waited unread for a second and keywatch has read nothing
// since, the guard sends what waits on through the virtual keyboard, lets
// every grab go and releases whatever the virtual keyboards hold down, so
// keys reach applications unchanged. keywatch sees the count of these
// takeovers change when it runs again, and takes its tap back.
//
// The guard lives in a process group of its own, so that a terminal's
// job-control signals for keywatch's group do not stop it too, and it ends
// (letting every grab go) when keywatch closes the socket or dies.
#pragma once

#include "unique_fd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>

namespace evdev {

// How long a grabbed keyboard's events may wait unread before the guard
// takes over.
inline constexpr std::chrono::milliseconds kGuardLimit{1000};

class TapGuard {
public:
    // Null when the guard process cannot be started; the tap then has only
    // its own thread's safety.
    static std::shared_ptr<TapGuard> start();
    ~TapGuard();
    TapGuard(const TapGuard&) = delete;
    TapGuard& operator=(const TapGuard&) = delete;

    // Hands the guard a keyboard and the virtual keyboard its keys go out
    // on. Returns the slot that names them, or -1.
    int watch(int keyboardFd, int virtualFd);
    void forget(int slot);
    // Only grabbed keyboards are watched and let go.
    void setGrabbed(int slot, bool grabbed);

    // keywatch has just read its keyboards. Any thread; lock-free.
    void noteRead();
    // How many times the guard has taken over so far.
    uint32_t takeovers() const;

    pid_t pid() const { return pid_; }

    struct Shared;

private:
    TapGuard(keys::UniqueFd socket, Shared* shared, pid_t pid);
    bool send(int op, int slot, const int* fds, int fdCount);

    std::mutex mutex_;
    keys::UniqueFd socket_;
    Shared* shared_;
    pid_t pid_;
    uint64_t usedSlots_[4] = {};
};

}  // namespace evdev
