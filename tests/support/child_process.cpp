#include "child_process.h"

#include "exit_watch.h"
#include "fd_wait.h"
#include "pipes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there; 0 at end of file, -1 when nothing could be read.
ssize_t readSome(int fd, char* into, size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, into, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

std::vector<std::string> buildEnvironment(const ChildOptions& options)
{
    std::vector<std::string> env;
    auto overridden = [&](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('='));
        for (const auto& removed : options.removeEnv) {
            if (name == removed) {
                return true;
            }
        }
        for (const auto& extra : options.extraEnv) {
            if (name == std::string_view(extra).substr(0, extra.find('='))) {
                return true;
            }
        }
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e) {
        if (!overridden(*e)) {
            env.emplace_back(*e);
        }
    }
    env.insert(env.end(), options.extraEnv.begin(), options.extraEnv.end());
    return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

struct Pipe {
    int read = -1;
    int write = -1;
    bool open()
    {
        int fds[2];
        if (cloexecPipe(fds) != 0) {
            return false;
        }
        read = fds[0];
        write = fds[1];
        return true;
    }
    void close()
    {
        closeFd(read);
        closeFd(write);
    }
};

// Leaves `fd` closed in the child. A close action on a descriptor that is
// not open fails the whole spawn on some systems (as POSIX allows), so there
// it is first opened on /dev/null, which is sure to succeed.
void addClose(posix_spawn_file_actions_t* actions, int fd)
{
#ifndef __linux__
    posix_spawn_file_actions_addopen(actions, fd, "/dev/null", O_RDONLY, 0);
#endif
    posix_spawn_file_actions_addclose(actions, fd);
}

}  // namespace

std::optional<Child> Child::spawn(const ChildOptions& options, std::string* error)
{
    auto fail = [&](const std::string& what) -> std::optional<Child> {
        if (error != nullptr) {
            *error = what + ": " + std::strerror(errno);
        }
        return std::nullopt;
    };
    if (options.argv.empty()) {
        errno = EINVAL;
        return fail("no program");
    }
    Pipe in, out, err, pcm;
    if ((options.pipeStdin && !in.open()) || !out.open() || !err.open() || (options.pipeFd3 && !pcm.open())) {
        in.close();
        out.close();
        err.close();
        pcm.close();
        return fail("pipe");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.pipeStdin) {
        posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    } else {
        addClose(&actions, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    if (options.pipeFd3) {
        posix_spawn_file_actions_adddup2(&actions, pcm.write, 3);
    } else {
        // Whatever the test process holds as descriptor 3 stays out of the child.
        addClose(&actions, 3);
    }

    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = buildEnvironment(options);
    auto argvPointers = pointersTo(args);
    auto envPointers = pointersTo(env);

    Child child;
    const int rc = posix_spawn(&child.pid_, args[0].c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in.read);
    closeFd(out.write);
    closeFd(err.write);
    closeFd(pcm.write);
    child.stdin_ = in.write;
    child.stdout_ = out.read;
    child.stderr_ = err.read;
    child.fd3_ = pcm.read;
    if (rc != 0) {
        child.pid_ = -1;
        errno = rc;
        return fail("posix_spawn " + args[0]);
    }
    return child;
}

Child::Child(Child&& other) noexcept
{
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        exitStatus_ = other.exitStatus_;
        stdin_ = std::exchange(other.stdin_, -1);
        stdout_ = std::exchange(other.stdout_, -1);
        stderr_ = std::exchange(other.stderr_, -1);
        fd3_ = std::exchange(other.fd3_, -1);
        stdoutBuffer_ = std::move(other.stdoutBuffer_);
        stdoutClosed_ = other.stdoutClosed_;
    }
    return *this;
}

Child::~Child()
{
    release();
}

void Child::release()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    closeFd(stdin_);
    closeFd(stdout_);
    closeFd(stderr_);
    closeFd(fd3_);
}

bool Child::writeStdin(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (stdin_ < 0) {
            return false;
        }
        const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void Child::closeStdin()
{
    closeFd(stdin_);
}

void Child::closeFd3()
{
    closeFd(fd3_);
}

std::optional<std::string> Child::readLine(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto lf = stdoutBuffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = stdoutBuffer_.substr(0, lf);
            stdoutBuffer_.erase(0, lf + 1);
            return line;
        }
        if (stdoutClosed_ || stdout_ < 0 || !waitReadable(stdout_, deadline)) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t n = readSome(stdout_, chunk, sizeof chunk);
        if (n <= 0) {
            stdoutClosed_ = true;
            return std::nullopt;
        }
        stdoutBuffer_.append(chunk, static_cast<size_t>(n));
    }
}

std::vector<std::string> Child::readLines(size_t count, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::vector<std::string> lines;
    while (lines.size() < count) {
        auto line = readLine(milliseconds(remainingMs(deadline)));
        if (!line) {
            break;
        }
        lines.push_back(std::move(*line));
    }
    return lines;
}

std::string Child::readRemainingStdout(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!stdoutClosed_ && stdout_ >= 0 && waitReadable(stdout_, deadline)) {
        char chunk[4096];
        const ssize_t n = readSome(stdout_, chunk, sizeof chunk);
        if (n <= 0) {
            stdoutClosed_ = true;
            break;
        }
        stdoutBuffer_.append(chunk, static_cast<size_t>(n));
    }
    return std::exchange(stdoutBuffer_, std::string());
}

size_t Child::readFd3(std::vector<uint8_t>& into, size_t atLeast, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (into.size() < atLeast && fd3_ >= 0 && waitReadable(fd3_, deadline)) {
        char chunk[8192];
        const ssize_t n = readSome(fd3_, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        into.insert(into.end(), chunk, chunk + n);
    }
    return into.size();
}

void Child::collectFd3For(std::vector<uint8_t>& into, milliseconds duration)
{
    const auto deadline = Clock::now() + duration;
    while (fd3_ >= 0 && remainingMs(deadline) > 0 && waitReadable(fd3_, deadline)) {
        char chunk[8192];
        const ssize_t n = readSome(fd3_, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        into.insert(into.end(), chunk, chunk + n);
    }
}

std::string Child::readStderr(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string text;
    while (stderr_ >= 0 && waitReadable(stderr_, deadline)) {
        char chunk[4096];
        const ssize_t n = readSome(stderr_, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

void Child::sendSignal(int signal)
{
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, signal);
    }
}

std::optional<int> Child::waitExit(milliseconds timeout)
{
    if (reaped_) {
        return exitStatus_;
    }
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    const ExitWatch watch(pid_);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        const bool waitable = watch.valid() && (r == 0 || errno == EINTR);
        if (!waitable || Clock::now() >= deadline) {
            return std::nullopt;
        }
        watch.wait(deadline);
    }
}

}  // namespace testsupport
