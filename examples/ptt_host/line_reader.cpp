#include "line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace ptthost {

bool LineReader::readFrom(int fd, std::vector<std::string>& lines)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            feed(std::string_view(buffer, static_cast<size_t>(n)), lines);
            return true;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

void LineReader::feed(std::string_view bytes, std::vector<std::string>& lines)
{
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!skipping_) {
            partial_.append(piece.substr(0, kMaxLine - partial_.size()));
        }
        if (end == std::string_view::npos) {
            if (partial_.size() == kMaxLine) {
                lines.push_back(std::move(partial_));
                partial_.clear();
                skipping_ = true;
            }
            return;
        }
        if (!skipping_) {
            if (!partial_.empty() && partial_.back() == '\r') {
                partial_.pop_back();
            }
            lines.push_back(std::move(partial_));
        }
        partial_.clear();
        skipping_ = false;
        bytes.remove_prefix(end + 1);
    }
}

}  // namespace ptthost
