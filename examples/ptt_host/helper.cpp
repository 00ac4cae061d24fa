#include "helper.h"

#include <poll.h>

#include <algorithm>

namespace ptthost {

namespace {

using std::chrono::milliseconds;

// Restarts in a row before the host gives up on a helper ...
constexpr int kMaxRestartsInARow = 5;
// ... unless it had run this long, which makes the next restart a first one.
constexpr std::chrono::seconds kHealthyRun{60};

}  // namespace

Helper::Helper(std::string name, std::string path, std::vector<std::string> args, bool pcmPipe)
    : name_(std::move(name)), path_(std::move(path)), args_(std::move(args)), pcmPipe_(pcmPipe)
{
}

bool Helper::launch(std::string& error)
{
    const auto now = Clock::now();
    startsInARow_ = now - startedAt_ >= kHealthyRun ? 1 : startsInARow_ + 1;
    startedAt_ = now;
    reader_ = LineReader();
    pending_.clear();
    child_ = ChildProcess::start(path_, args_, pcmPipe_, error);
    return child_.has_value();
}

std::optional<std::string> Helper::awaitLine(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (pending_.empty() && running()) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd readable{stdoutFd(), POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) < 0) {
            continue;  // EINTR: a stop signal is handled once the wait is over
        }
        std::vector<std::string> lines;
        const bool open = reader_.readFrom(stdoutFd(), lines);
        pending_.insert(pending_.end(), lines.begin(), lines.end());
        if (!open && pending_.empty()) {
            return std::nullopt;
        }
    }
    if (pending_.empty()) {
        return std::nullopt;
    }
    std::string line = std::move(pending_.front());
    pending_.pop_front();
    return line;
}

bool Helper::readLines(std::vector<std::string>& lines)
{
    lines.insert(lines.end(), pending_.begin(), pending_.end());
    pending_.clear();
    return running() && reader_.readFrom(stdoutFd(), lines);
}

void Helper::closeInput()
{
    if (child_) {
        child_->closeStdin();
    }
}

std::string Helper::stop(milliseconds grace)
{
    if (!child_) {
        return "not running";
    }
    std::string how = child_->stop(grace);
    child_.reset();
    return how;
}

bool Helper::mayRestart() const
{
    return Clock::now() - startedAt_ >= kHealthyRun || startsInARow_ <= kMaxRestartsInARow;
}

}  // namespace ptthost
