// keywatch whose parent dies: run in a grandchild of this process, whose
// parent (the child) is killed; this process adopts the orphan to see it end.
#include "lifecycle.h"
#include "lines.h"
#include "sim_backend.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <thread>

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int ends[2];
        if (pipe(ends) == 0) {
            read = ends[0];
            write = ends[1];
        }
    }
    void closeBoth() const
    {
        close(read);
        close(write);
    }
};

// The grandchild: keywatch on a simulated keyboard whose clock moves one
// heartbeat interval for every byte on `clock`, once a key event has shown
// that the run loop (and so the heartbeat timer) is there.
[[noreturn]] void runKeywatch(const Pipe& input, const Pipe& output, const Pipe& clock)
{
    dup2(input.read, STDIN_FILENO);
    input.closeBoth();
    close(output.read);
    close(clock.write);
    auto keyboard = sim::Keyboard::install();
    keyboard->advance(1000.0);
    FILE* lines = fdopen(output.write, "w");
    setvbuf(lines, nullptr, _IONBF, 0);
    setLineOutput(lines);
    std::thread([keyboard, fd = clock.read] {
        char byte;
        for (size_t served = 1; ::read(fd, &byte, 1) == 1; ++served) {
            keyboard->keyDown(1);
            keyboard->waitForDeliveries(served, std::chrono::seconds(5));
            keyboard->advance(2.0);
        }
    }).detach();
    char program[] = "keywatch";
    char remap[] = "--remap";
    char keycode[] = "105";
    char* argv[] = {program, remap, keycode, nullptr};
    _exit(keywatchMain(3, argv));
}

std::optional<std::string> readLine(int fd, std::string& pending, int timeoutMs)
{
    for (;;) {
        const size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            return line;
        }
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0)
            return std::nullopt;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        pending.append(chunk, static_cast<size_t>(n));
    }
}

// The exit status of a child, waited for at most `timeoutMs`; -1 on time-out.
int waitExit(pid_t pid, int timeoutMs)
{
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0)
        return -1;
    pollfd exited = {pidFd, POLLIN, 0};
    const bool ended = poll(&exited, 1, timeoutMs) == 1;
    close(pidFd);
    int status = 0;
    if (!ended || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(KeywatchParentDeath, DeadParentEndsTheRunSilentlyWithExitZero)
{
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Pipe input;
    Pipe output;
    Pipe clock;
    Pipe grandchildPid;
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        const pid_t keywatch = fork();
        if (keywatch == 0)
            runKeywatch(input, output, clock);
        ssize_t ignored = ::write(grandchildPid.write, &keywatch, sizeof keywatch);
        (void)ignored;
        pause();
        _exit(0);
    }
    close(input.read);
    close(output.write);
    close(clock.read);
    pid_t keywatch = -1;
    ASSERT_EQ(::read(grandchildPid.read, &keywatch, sizeof keywatch), ssize_t(sizeof keywatch));
    grandchildPid.closeBoth();

    std::string pending;
    EXPECT_EQ(readLine(output.read, pending, 5000),
              std::optional<std::string>(R"({"t":"ok","tap":0,"en":true,"im":0,"remap":105})"));
    // A heartbeat while the parent lives.
    ASSERT_EQ(::write(clock.write, "t", 1), 1);
    EXPECT_TRUE(readLine(output.read, pending, 5000).has_value());

    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    ASSERT_EQ(::write(clock.write, "t", 1), 1);
    // The tick that finds the parent gone writes nothing; the remap reset
    // finds no tool to start here and is given up.
    EXPECT_EQ(readLine(output.read, pending, 5000), std::nullopt);
    EXPECT_EQ(waitExit(keywatch, 5000), 0);
    close(input.write);
    close(output.read);
    close(clock.write);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
