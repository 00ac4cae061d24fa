// Reads the key events of one input device, as any application on the
// system would, one at a time with every wait bounded.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct KeyEvent {
    uint16_t type = 0;
    uint16_t code = 0;
    int32_t value = 0;
    bool operator==(const KeyEvent&) const = default;
};

std::ostream& operator<<(std::ostream& out, const KeyEvent& event);

// EV_KEY events: a press (1), release (0) or auto-repeat (2) of each code.
KeyEvent keyEvent(uint16_t code, int32_t value);
std::vector<KeyEvent> tapEvents(uint16_t code);

class InputReader {
public:
    // Opens the node read-only and non-blocking; empty with `error` filled in.
    static std::optional<InputReader> open(const std::string& devnode, std::string* error = nullptr);
    // The device called `name`, waited for until the timeout.
    static std::optional<InputReader> openByName(const std::string& name, std::chrono::milliseconds timeout,
                                                 std::string* error = nullptr);

    // The next key event (lights and reports are passed over), or nothing at
    // the timeout.
    std::optional<KeyEvent> next(std::chrono::milliseconds timeout);
    // Events until `count` have come or the timeout has passed.
    std::vector<KeyEvent> take(size_t count, std::chrono::milliseconds timeout);
    // Whatever has arrived already, without waiting.
    std::vector<KeyEvent> drain();

    // Whether the kernel dropped events because this reader fell behind.
    bool overflowed() const { return overflowed_; }
    int fd() const { return fd_.get(); }

private:
    explicit InputReader(UniqueFd fd) : fd_(std::move(fd)) {}
    // Moves what the descriptor holds into pending_; false when nothing was there.
    bool readAvailable();

    UniqueFd fd_;
    std::deque<KeyEvent> pending_;
    bool overflowed_ = false;
    bool gone_ = false;  // the device was removed
};

}  // namespace testsupport
