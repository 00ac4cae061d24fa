#include "keywatch_run.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace kwtest {

bool exitsWithin(pid_t pid, milliseconds timeout)
{
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return errno == ESRCH;
    }
    pollfd exited{pidfd, POLLIN, 0};
    const bool gone = ::poll(&exited, 1, static_cast<int>(timeout.count())) == 1;
    ::close(pidfd);
    return gone;
}

std::optional<KeywatchRun> KeywatchRun::start(const RunOptions& options, std::string* error)
{
    testsupport::ChildOptions child;
    child.argv = {KEYWATCH_PATH};
    child.pipeStdin = options.stdinOpen;
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    if (options.display) {
        child.extraEnv = {"DISPLAY=" + *options.display};
    } else {
        child.removeEnv = {"DISPLAY"};
    }
    auto spawned = testsupport::Child::spawn(child, error);
    if (!spawned) {
        return std::nullopt;
    }
    KeywatchRun run(std::move(*spawned));
    if (!options.expectOk) {
        return run;
    }
    auto ok = testsupport::readOkLine(*run.child_, kLineWait, error);
    if (!ok) {
        return std::nullopt;
    }
    run.okLine_ = *ok;
    return run;
}

std::optional<std::string> KeywatchRun::line(milliseconds timeout)
{
    return child_->readLine(timeout);
}

std::optional<std::string> KeywatchRun::event(milliseconds timeout)
{
    return testsupport::nextEventLine(*child_, timeout, &skippedHeartbeats_);
}

std::vector<std::string> KeywatchRun::takeSkippedHeartbeats()
{
    return std::exchange(skippedHeartbeats_, {});
}

std::optional<int> KeywatchRun::finish(milliseconds timeout)
{
    child_->closeStdin();
    return child_->waitExit(timeout);
}

}  // namespace kwtest
