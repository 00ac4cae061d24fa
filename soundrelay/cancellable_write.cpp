#include "cancellable_write.h"

#include <limits.h>
#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace recorder {

namespace {

// A pipe that polls writable takes PIPE_BUF bytes without blocking; an
// even piece keeps every piece on a sample boundary.
constexpr size_t kPiece = PIPE_BUF;
static_assert(kPiece % 2 == 0);

// Without a cancel descriptor the flag is checked this often.
constexpr int kFlagCheckMs = 20;

enum class Ready { Writable, Failed, Cancelled };

Ready waitWritable(int fd, const WriteCancel& cancel, bool honourCancel)
{
    const int cancelFd = honourCancel ? cancel.fd() : -1;
    const int timeout = honourCancel && cancelFd < 0 ? kFlagCheckMs : -1;
    for (;;) {
        pollfd entries[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        const int ready = ::poll(entries, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            return Ready::Failed;
        }
        const short state = ready > 0 ? entries[0].revents : 0;
        if ((state & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return Ready::Failed;
        }
        // Writable wins over cancelled: a host that reads gets the whole
        // buffer that was under way at "stop".
        if ((state & POLLOUT) != 0) {
            return Ready::Writable;
        }
        const bool signalled = ready > 0 && entries[1].revents != 0;
        if (honourCancel && (signalled || cancel.isRaised())) {
            return Ready::Cancelled;
        }
    }
}

}  // namespace

namespace {

bool makeNonBlockingCloseOnExec(int fd)
{
    const int status = ::fcntl(fd, F_GETFL);
    return status >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

WriteCancel::WriteCancel()
{
    int ends[2] = {-1, -1};
    if (::pipe(ends) != 0) {
        return;
    }
    if (!makeNonBlockingCloseOnExec(ends[0]) || !makeNonBlockingCloseOnExec(ends[1])) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
}

WriteCancel::~WriteCancel()
{
    if (readEnd_ >= 0) {
        ::close(readEnd_);
        ::close(writeEnd_);
    }
}

void WriteCancel::raise()
{
    // The flag first: a writer woken by the descriptor then sees it too.
    raised_ = true;
    const char one = 1;
    if (writeEnd_ >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(writeEnd_, &one, sizeof one);
    }
}

void WriteCancel::lower()
{
    // Every raise() since the last lower() left a byte; take them all.
    char drained[64];
    while (readEnd_ >= 0 && ::read(readEnd_, drained, sizeof drained) > 0) {
    }
    raised_ = false;
}

bool WriteCancel::isRaised() const
{
    return raised_;
}

WriteResult writeAllUnlessCancelled(int fd, const void* data, size_t size, const WriteCancel& cancel)
{
    if (fd < 0) {
        return WriteResult::Failed;
    }
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        // A descriptor that took part of a sample gets the rest of it first.
        const Ready ready = waitWritable(fd, cancel, done % 2 == 0);
        if (ready == Ready::Cancelled) {
            return WriteResult::Cancelled;
        }
        if (ready == Ready::Failed) {
            return WriteResult::Failed;
        }
        const ssize_t written = ::write(fd, bytes + done, std::min(kPiece, size - done));
        if (written > 0) {
            done += static_cast<size_t>(written);
            continue;
        }
        // A host that left the descriptor non-blocking: poll again.
        if (written < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        return WriteResult::Failed;
    }
    return WriteResult::Written;
}

}  // namespace recorder
