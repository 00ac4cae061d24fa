#include "input_reader.h"

#include "fd_wait.h"
#include "input_devices.h"

#include <fcntl.h>
#include <linux/input.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

using Clock = std::chrono::steady_clock;

std::ostream& operator<<(std::ostream& out, const KeyEvent& event)
{
    return out << "{type " << event.type << ", code " << event.code << ", value " << event.value << "}";
}

KeyEvent keyEvent(uint16_t code, int32_t value)
{
    return {EV_KEY, code, value};
}

std::vector<KeyEvent> tapEvents(uint16_t code)
{
    return {keyEvent(code, 1), keyEvent(code, 0)};
}

std::optional<InputReader> InputReader::open(const std::string& devnode, std::string* error)
{
    UniqueFd fd(::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (error != nullptr) {
            *error = "open " + devnode + ": " + std::strerror(errno);
        }
        return std::nullopt;
    }
    return InputReader(std::move(fd));
}

std::optional<InputReader> InputReader::openByName(const std::string& name, std::chrono::milliseconds timeout,
                                                   std::string* error)
{
    const auto node = waitForInputDevice(name, timeout);
    if (!node) {
        if (error != nullptr) {
            *error = "no input device called \"" + name + "\"";
        }
        return std::nullopt;
    }
    return open(*node, error);
}

bool InputReader::readAvailable()
{
    input_event events[64];
    const ssize_t n = ::read(fd_.get(), events, sizeof events);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        gone_ = true;
    }
    if (n <= 0) {
        return false;
    }
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(input_event); ++i) {
        const input_event& e = events[i];
        if (e.type == EV_SYN && e.code == SYN_DROPPED) {
            overflowed_ = true;
        }
        if (e.type == EV_KEY) {
            pending_.push_back({e.type, e.code, e.value});
        }
    }
    return true;
}

std::optional<KeyEvent> InputReader::next(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (pending_.empty()) {
        if (!readAvailable() && (gone_ || !waitReadable(fd_.get(), deadline))) {
            return std::nullopt;
        }
    }
    KeyEvent event = pending_.front();
    pending_.pop_front();
    return event;
}

std::vector<KeyEvent> InputReader::take(size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::vector<KeyEvent> events;
    while (events.size() < count) {
        auto event = next(std::chrono::milliseconds(remainingMs(deadline)));
        if (!event) {
            break;
        }
        events.push_back(*event);
    }
    return events;
}

std::vector<KeyEvent> InputReader::drain()
{
    while (readAvailable()) {
    }
    std::vector<KeyEvent> events(pending_.begin(), pending_.end());
    pending_.clear();
    return events;
}

}  // namespace testsupport
