#include "fd_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace recorder {

namespace {

// A descriptor the host left non-blocking: wait until it takes more.
bool waitWritable(int fd)
{
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0) {
            return (entry.revents & (POLLERR | POLLNVAL)) == 0;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(fd)) {
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace recorder
