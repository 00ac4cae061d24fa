// Where keyboards come from: the event nodes under /dev/input now, and
// those that appear (or become readable) later. Before the first input
// device exists there is no /dev/input; /dev is watched for it meanwhile.
#pragma once

#include "unique_fd.h"

#include <string>
#include <vector>

namespace evdev {

// The event nodes in `directory`, e.g. "/dev/input/event3", sorted.
std::vector<std::string> listEventNodes(const std::string& directory = "/dev/input");

class DeviceWatch {
public:
    explicit DeviceWatch(std::string directory = "/dev/input");

    // Readable when changes wait; -1 when nothing can be watched.
    int fd() const { return inotify_.get(); }

    // Event nodes that appeared or changed since the last call. After the
    // directory itself appears, or when the kernel's queue of changes
    // overflowed, every node in it.
    std::vector<std::string> takeChanges();

private:
    void watchDirectory();

    std::string directory_;
    keys::UniqueFd inotify_;
    int directoryWatch_ = -1;
};

}  // namespace evdev
