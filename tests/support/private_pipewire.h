// A PipeWire server of our own, headless, through the project's script
// (pipewire, wireplumber and pipewire-pulse in a fresh directory), reached
// through its pulse socket. The default source is the monitor of a silent
// null sink "tone": anything played into it is what a recorder hears.
// start() returns once that source is set; the servers stop and the
// directory goes with this object.
#pragma once

#include "child_process.h"

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class PrivatePipewire {
public:
    // Empty with `error` filled in when the servers cannot be started.
    static std::optional<PrivatePipewire> start(std::string* error = nullptr);

    PrivatePipewire(PrivatePipewire&& other) noexcept;
    PrivatePipewire& operator=(PrivatePipewire&& other) noexcept;
    PrivatePipewire(const PrivatePipewire&) = delete;
    PrivatePipewire& operator=(const PrivatePipewire&) = delete;
    ~PrivatePipewire();

    // "unix:<directory>/run/pulse/native", for PULSE_SERVER.
    const std::string& serverAddress() const { return address_; }
    // What a client needs in its environment to reach these servers.
    std::vector<std::string> clientEnvironment() const;

private:
    PrivatePipewire(std::optional<Child> script, std::string directory);
    bool awaitReady(std::string* error);
    void stop();

    std::optional<Child> script_;
    std::string directory_;
    std::string address_;
};

}  // namespace testsupport
