#include "input_devices.h"

#include "fd_wait.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Nodes appear and go in /dev/input (or /dev, before the first one exists);
// a short cap on each wait covers a sysfs entry that trails its node.
constexpr int kRecheckMs = 20;

class DevInputWatch {
public:
    DevInputWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO | IN_MOVED_FROM;
        if (fd_ && ::inotify_add_watch(fd_.get(), "/dev/input", kChanges) < 0) {
            ::inotify_add_watch(fd_.get(), "/dev", kChanges);
        }
    }

    // Returns after a change, the recheck interval, or the deadline.
    void waitForChange(Clock::time_point deadline)
    {
        const int ms = std::min(remainingMs(deadline), kRecheckMs);
        if (!fd_) {
            ::poll(nullptr, 0, ms);
            return;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, ms) > 0) {
            char drained[4096];
            while (::read(fd_.get(), drained, sizeof drained) > 0) {
            }
        }
    }

private:
    UniqueFd fd_;
};

std::string firstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::optional<std::string> inputDeviceNode(const std::string& name)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/input", error)) {
        const std::string node = entry.path().filename().string();
        if (node.rfind("event", 0) == 0 && firstLine(entry.path() / "device" / "name") == name) {
            return "/dev/input/" + node;
        }
    }
    return std::nullopt;
}

std::optional<std::string> waitForInputDevice(const std::string& name, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    DevInputWatch watch;
    for (;;) {
        auto node = inputDeviceNode(name);
        if (node && ::access(node->c_str(), R_OK) == 0) {
            return node;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        watch.waitForChange(deadline);
    }
}

bool waitInputDeviceGone(const std::string& name, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    DevInputWatch watch;
    while (inputDeviceNode(name)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        watch.waitForChange(deadline);
    }
    return true;
}

int grabError(const std::string& devnode)
{
    UniqueFd fd(::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return errno;
    }
    if (::ioctl(fd.get(), EVIOCGRAB, 1) != 0) {
        return errno;
    }
    ::ioctl(fd.get(), EVIOCGRAB, 0);
    return 0;
}

bool waitGrabError(const std::string& devnode, int wanted, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (grabError(devnode) != wanted) {
        if (Clock::now() >= deadline) {
            return false;
        }
        // Nothing signals a grab; look again shortly.
        ::poll(nullptr, 0, std::min(remainingMs(deadline), kRecheckMs));
    }
    return true;
}

}  // namespace testsupport
