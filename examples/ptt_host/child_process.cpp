#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace ptthost {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Child ends of the pipes are moved to this number or above before the
// start, so that no dup2 in the child maps an end onto its own number
// (which would keep close-on-exec) or over an end still to be mapped.
constexpr int kFirstSpareFd = 10;

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// A pipe whose two ends close on exec: the child gets only the ends it is
// given explicitly.
std::optional<Pipe> makePipe()
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return std::nullopt;
    }
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    if (::fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return pipe;
}

bool moveHigh(UniqueFd& fd)
{
    const int high = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, kFirstSpareFd);
    if (high < 0) {
        return false;
    }
    fd.reset(high);
    return true;
}

// The host's ends never block: one poll loop serves both helpers.
bool setNonBlocking(const UniqueFd& fd)
{
    const int flags = ::fcntl(fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// The child starts with default signal handling and an empty mask (the host
// ignores SIGPIPE, and an ignored signal would survive exec), and in a
// process group of its own: a Ctrl-C in the terminal reaches the host alone,
// which then stops the helpers in order.
bool prepareAttributes(posix_spawnattr_t& attributes)
{
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
    return posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &none) == 0 && posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
           posix_spawnattr_setflags(&attributes, flags) == 0;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::string& path, const std::vector<std::string>& args,
                                                bool pcmPipe, std::string& error)
{
    auto fail = [&](const std::string& what, int code) -> std::optional<ChildProcess> {
        error = what + ": " + std::strerror(code);
        return std::nullopt;
    };
    auto in = makePipe();
    auto out = makePipe();
    auto pcm = pcmPipe ? makePipe() : std::optional<Pipe>(Pipe{});  // without one: two empty ends
    if (!in || !out || !pcm) {
        return fail("cannot make a pipe", errno);
    }
    if (!moveHigh(in->read) || !moveHigh(out->write) || (pcmPipe && !moveHigh(pcm->write))) {
        return fail("cannot move a descriptor", errno);
    }
    if (!setNonBlocking(in->write) || !setNonBlocking(out->read) || (pcmPipe && !setNonBlocking(pcm->read))) {
        return fail("cannot make a descriptor non-blocking", errno);
    }

    SpawnActions actions;
    posix_spawn_file_actions_adddup2(&actions.actions, in->read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions.actions, out->write.get(), 1);
    if (pcmPipe) {
        posix_spawn_file_actions_adddup2(&actions.actions, pcm->write.get(), 3);
    }
    SpawnAttributes attributes;
    if (!prepareAttributes(attributes.attributes)) {
        return fail("cannot set up the start of " + path, EINVAL);
    }

    std::vector<std::string> argvText = {path};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvText) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    ChildProcess child;
    const int rc = ::posix_spawn(&child.pid_, path.c_str(), &actions.actions, &attributes.attributes, argv.data(),
                                 environ);
    if (rc != 0) {
        child.pid_ = -1;
        return fail("cannot start " + path, rc);
    }
    // The child's ends close here with `in`, `out` and `pcm`: the host keeps
    // only its own, so end of file on them means the child has let go.
    child.stdin_ = std::move(in->write);
    child.stdout_ = std::move(out->read);
    child.pcm_ = std::move(pcm->read);
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reaped_(other.reaped_),
      waitStatus_(other.waitStatus_),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      pcm_(std::move(other.pcm_))
{
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        killAndReap();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        waitStatus_ = other.waitStatus_;
        stdin_ = std::move(other.stdin_);
        stdout_ = std::move(other.stdout_);
        pcm_ = std::move(other.pcm_);
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    killAndReap();
}

bool ChildProcess::writeLine(std::string_view line)
{
    if (!stdin_) {
        return false;
    }
    // A command line is far below the pipe's atomic size, so a full pipe
    // takes all of it or none of it.
    std::string bytes(line);
    bytes += '\n';
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(stdin_.get(), bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            return false;  // EAGAIN: it stopped reading; EPIPE: it is gone
        }
    }
    return true;
}

std::string ChildProcess::stop(milliseconds grace)
{
    closeStdin();
    if (!waitExit(grace)) {
        ::kill(pid_, SIGTERM);
        if (!waitExit(grace)) {
            killAndReap();
        }
    }
    return describeExit(waitStatus_);
}

bool ChildProcess::tryReap()
{
    if (pid_ <= 0 || reaped_) {
        return true;
    }
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == pid_) {
        reaped_ = true;
        waitStatus_ = status;
        return true;
    }
    return false;
}

bool ChildProcess::waitExit(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!tryReap()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        // Portable and plain: look again every 10 ms until the bound.
        ::poll(nullptr, 0, 10);
    }
    return true;
}

void ChildProcess::killAndReap()
{
    if (pid_ <= 0 || reaped_) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    pid_t result = -1;
    do {
        result = ::waitpid(pid_, &status, 0);
    } while (result < 0 && errno == EINTR);
    reaped_ = true;
    waitStatus_ = status;
}

std::string describeExit(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    }
    if (WIFSIGNALED(waitStatus)) {
        return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    return "ended";
}

}  // namespace ptthost
