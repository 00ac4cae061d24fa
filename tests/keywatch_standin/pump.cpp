#include "pump.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

namespace pump {

bool until(const std::function<bool()>& done, std::chrono::milliseconds bound)
{
    const auto limit = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= limit)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    return true;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds bound)
{
    const auto limit = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}

CFRunLoopRunResult once() { return CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true); }

Pipe::Pipe()
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    readEnd = ends[0];
    writeEnd = ends[1];
}

Pipe::~Pipe()
{
    if (readEnd >= 0)
        close(readEnd);
    if (writeEnd >= 0)
        close(writeEnd);
}

void Pipe::put(char byte) const { [[maybe_unused]] const ssize_t n = write(writeEnd, &byte, 1); }

bool Pipe::take() const
{
    char byte = 0;
    return read(readEnd, &byte, 1) == 1;
}

} // namespace pump
