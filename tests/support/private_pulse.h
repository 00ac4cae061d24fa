// A PulseAudio daemon of our own on a socket in a fresh temporary directory,
// whose default source carries a sine tone in real time, for tests,
// benchmarks and the demo. Nothing of the caller's session (its server,
// D-Bus, display) is used. start() returns once the source delivers audio.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct PulseOptions {
    int sampleRate = 48000;
    int frequency = 440;
    int channels = 1;  // the tone in every channel
};

class PrivatePulse {
public:
    // Empty with `error` filled in when the daemon cannot be started.
    static std::optional<PrivatePulse> start(const PulseOptions& options = {}, std::string* error = nullptr);

    PrivatePulse(PrivatePulse&& other) noexcept;
    PrivatePulse& operator=(PrivatePulse&& other) noexcept;
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;
    // Stops the daemon and removes its directory.
    ~PrivatePulse();

    // "unix:<directory>/native", for PULSE_SERVER.
    std::string serverAddress() const;
    // What a client needs in its environment to reach this daemon and
    // nothing else ("KEY=VALUE").
    std::vector<std::string> clientEnvironment() const;
    // Names a client's environment should not carry over.
    static std::vector<std::string> foreignEnvironment();

    // Runs pactl against this daemon; true when it exits with status 0.
    bool pactl(const std::vector<std::string>& arguments) const;
    // Kills the daemon with SIGKILL and waits for it to be gone.
    bool kill();
    // Starts the daemon again on the same socket, after kill().
    bool restart(std::string* error = nullptr);
    // Unloads the tone's source; what remains is a silent monitor source.
    bool removeDefaultSource() const;
    // The directory the daemon lives in (socket, log, home).
    const std::string& directory() const { return directory_; }

private:
    PrivatePulse() = default;
    bool launchDaemon(std::string* error);
    void stop();

    std::string directory_;
    int daemonPid_ = -1;
};

// The absolute path of `name` found in PATH, or empty.
std::string findProgram(const std::string& name);

}  // namespace testsupport
