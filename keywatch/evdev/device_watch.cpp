#include "device_watch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace evdev {

namespace {

bool isEventNode(const char* name) { return std::strncmp(name, "event", 5) == 0; }

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string leafOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::vector<std::string> listEventNodes(const std::string& directory)
{
    std::vector<std::string> nodes;
    std::unique_ptr<DIR, DirClose> dir{::opendir(directory.c_str())};
    if (!dir) {
        return nodes;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (isEventNode(entry->d_name)) {
            nodes.push_back(directory + "/" + entry->d_name);
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

DeviceWatch::DeviceWatch(std::string directory)
    : directory_(std::move(directory))
    , inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    watchDirectory();
}

void DeviceWatch::watchDirectory()
{
    if (inotify_.get() < 0) {
        return;
    }
    directoryWatch_ = ::inotify_add_watch(inotify_.get(), directory_.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO);
    if (directoryWatch_ < 0) {
        ::inotify_add_watch(inotify_.get(), parentOf(directory_).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    }
}

std::vector<std::string> DeviceWatch::takeChanges()
{
    std::vector<std::string> changed;
    if (inotify_.get() < 0) {
        return changed;
    }
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool directoryAppeared = false;
    bool overflowed = false;
    for (;;) {
        const ssize_t length = ::read(inotify_.get(), buffer.data(), buffer.size());
        if (length <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            overflowed = overflowed || (event->mask & IN_Q_OVERFLOW) != 0;
            if (event->len == 0) {
                continue;
            }
            if (event->wd == directoryWatch_ && isEventNode(event->name)) {
                changed.push_back(directory_ + "/" + event->name);
            } else if (event->wd != directoryWatch_ && leafOf(directory_) == event->name) {
                directoryAppeared = true;
            }
        }
    }
    if (directoryAppeared && directoryWatch_ < 0) {
        watchDirectory();
        overflowed = true;
    }
    // Changes were lost: every node is looked at again.
    if (overflowed) {
        return listEventNodes(directory_);
    }
    return changed;
}

}  // namespace evdev
