// Input devices found by name through sysfs, with every wait bounded: for a
// device to appear or go away, and for it to be grabbed or let go.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace testsupport {

// The event node (/dev/input/eventN) of the input device called `name`, if
// one exists now.
std::optional<std::string> inputDeviceNode(const std::string& name);

// The same, waited for until the timeout.
std::optional<std::string> waitForInputDevice(const std::string& name, std::chrono::milliseconds timeout);

// Whether no input device called `name` is left before the timeout passes.
bool waitInputDeviceGone(const std::string& name, std::chrono::milliseconds timeout);

// 0 when this process could grab the device right now (it lets go at once);
// otherwise the error, EBUSY while another holds it.
int grabError(const std::string& devnode);

// Whether grabError() gives `wanted` before the timeout passes.
bool waitGrabError(const std::string& devnode, int wanted, std::chrono::milliseconds timeout);

}  // namespace testsupport
