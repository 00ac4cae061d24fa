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

std::optional<InputLine> LineReader::next()
{
    for (;;) {
        const size_t lf = buffered_.find('\n', scanned_);
        if (lf != std::string::npos) {
            size_t end = lf;
            if (end > 0 && buffered_[end - 1] == '\r') {
                --end;
            }
            const bool overlong = discarding_ || end > maxLineBytes_;
            InputLine line{overlong ? std::string() : buffered_.substr(0, end), overlong};
            buffered_.erase(0, lf + 1);
            scanned_ = 0;
            discarding_ = false;
            return line;
        }
        // A CR at the end may be the first half of the terminator, which the
        // limit does not count, whether or not its LF came in the same read.
        const size_t pending = buffered_.size() - (buffered_.ends_with('\r') ? 1 : 0);
        if (pending > maxLineBytes_) {
            discarding_ = true;
            buffered_.clear();
        }
        // A long line arrives in many reads; each byte is searched once.
        scanned_ = buffered_.size();
        if (ended_ || !fill()) {
            ended_ = true;
            if (buffered_.empty() && !discarding_) {
                return std::nullopt;
            }
            const bool overlong = discarding_ || buffered_.size() > maxLineBytes_;
            InputLine last{overlong ? std::string() : std::exchange(buffered_, std::string()), overlong};
            buffered_.clear();
            discarding_ = false;
            return last;
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
