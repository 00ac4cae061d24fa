#include "pipes.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

int cloexecPipe(int ends[2])
{
#ifdef __linux__
    return ::pipe2(ends, O_CLOEXEC);
#else
    // Not atomic as on Linux: a process that another thread spawns in
    // between would inherit the ends.
    if (::pipe(ends) != 0) {
        return -1;
    }
    if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        errno = error;
        return -1;
    }
    return 0;
#endif
}

int recordPair(int ends[2])
{
#ifdef __linux__
    return ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends);
#else
    (void)ends;
    errno = EPROTONOSUPPORT;
    return -1;
#endif
}

int setPipeCapacity(int fd, int bytes)
{
#ifdef __linux__
    return ::fcntl(fd, F_SETPIPE_SZ, bytes);
#else
    (void)fd;
    (void)bytes;
    errno = ENOTSUP;
    return -1;
#endif
}

}  // namespace testsupport
