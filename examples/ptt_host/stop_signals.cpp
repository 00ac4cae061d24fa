#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ptthost {

namespace {

// The handler can touch nothing but these two descriptors.
int readEnd = -1;
int writeEnd = -1;

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already says "stop"; the byte may be dropped.
    [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

bool setFlags(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

bool StopSignals::install(std::string& error)
{
    if (readEnd >= 0) {
        return true;
    }
    int fds[2];
    if (::pipe(fds) != 0 || !setFlags(fds[0]) || !setFlags(fds[1])) {
        error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return false;
    }
    readEnd = fds[0];
    writeEnd = fds[1];

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0 ||
        ::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        error = std::string("cannot install signal handlers: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int StopSignals::fd()
{
    return readEnd;
}

int StopSignals::take()
{
    int last = 0;
    unsigned char bytes[16];
    ssize_t n = 0;
    while ((n = ::read(readEnd, bytes, sizeof bytes)) > 0) {
        last = bytes[n - 1];
    }
    return last;
}

}  // namespace ptthost
