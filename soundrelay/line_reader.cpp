#include "line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace recorder {

namespace {

constexpr size_t kReadSize = 4096;

void waitReadable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::optional<std::string> LineReader::next()
{
    for (;;) {
        const size_t lf = buffered_.find('\n', scanned_);
        if (lf != std::string::npos) {
            size_t end = lf;
            if (end > 0 && buffered_[end - 1] == '\r') {
                --end;
            }
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, lf + 1);
            scanned_ = 0;
            return line;
        }
        // A long line arrives in many reads; each byte is searched once.
        scanned_ = buffered_.size();
        if (ended_ || !fill()) {
            ended_ = true;
            if (buffered_.empty()) {
                return std::nullopt;
            }
            return std::exchange(buffered_, std::string());
        }
    }
}

// Appends one read's worth; false at end of input or on a read error.
bool LineReader::fill()
{
    char chunk[kReadSize];
    for (;;) {
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got > 0) {
            buffered_.append(chunk, static_cast<size_t>(got));
            return true;
        }
        if (got == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitReadable(fd_);
            continue;
        }
        return false;
    }
}

}  // namespace recorder
