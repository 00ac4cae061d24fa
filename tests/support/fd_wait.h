// Descriptor helpers for tests that read pipes with every wait bounded.
#pragma once

#include <chrono>

namespace testsupport {

// Closes `fd` if it is open and marks it closed.
void closeFd(int& fd);

// Milliseconds left until `deadline`, never negative.
int remainingMs(std::chrono::steady_clock::time_point deadline);

// Waits until `fd` is readable or the deadline passes.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace testsupport
