#include "private_pulse.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "exit_watch.h"

namespace testsupport {

namespace {

namespace fs = std::filesystem;

constexpr milliseconds kPulseStartTimeout{15000};
constexpr milliseconds kPulseStopTimeout{5000};
constexpr milliseconds kPactlTimeout{10000};

std::string makeDirectory(std::string* error)
{
    std::string pattern = (fs::temp_directory_path() / "pulse-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        if (error) {
            *error = "mkdtemp failed";
        }
        return {};
    }
    return pattern;
}

bool writeScript(const std::string& dir, const PulseOptions& options)
{
    std::ofstream script(dir + "/server.pa");
    // The tone is played into a clocked null sink whose monitor is the
    // default source: it delivers in real time, where the server's sine
    // source hands out two seconds at a time. The loopback keeps a
    // low-latency reader on the monitor, so the sink renders in small steps.
    script << "load-module module-native-protocol-unix socket=" << dir << "/native auth-anonymous=1\n"
           << "load-module module-null-sink sink_name=tone format=float32le channels=" << options.channels
           << " rate=" << options.sampleRate << "\n"
           << "load-module module-null-sink sink_name=drain\n"
           << "load-module module-loopback source=tone.monitor sink=drain latency_msec=20\n"
           << "load-module module-sine sink=tone rate=" << options.sampleRate << " frequency=" << options.frequency
           << "\n"
           << "set-default-source tone.monitor\n";
    return static_cast<bool>(script);
}

std::vector<std::string> daemonEnvironment(const std::string& dir)
{
    return {"HOME=" + dir + "/home", "XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/home/.config",
            "XDG_STATE_HOME=" + dir + "/home/.state"};
}

int readPid(const std::string& path)
{
    std::ifstream file(path);
    int pid = -1;
    file >> pid;
    return file ? pid : -1;
}

// Waits for a process that is not our child to end.
bool waitGone(int pid, milliseconds timeout)
{
    const ExitWatch watch(pid);
    if (!watch.valid()) {
        return errno == ESRCH;
    }
    return watch.wait(std::chrono::steady_clock::now() + timeout);
}

// Records from the default source until the first 20 ms have come: the
// sink renders ahead for a while after it is created, and tests must not
// wait for that.
bool waitForAudio(const std::vector<std::string>& env)
{
    const std::string program = findProgram("parec");
    if (program.empty()) {
        return false;
    }
    ChildOptions options;
    options.argv = {program, "--raw", "--format=float32le", "--channels=1", "--latency-msec=20", "/dev/fd/3"};
    options.extraEnv = env;
    options.removeEnv = PrivatePulse::foreignEnvironment();
    options.pipeStdin = false;
    options.pipeFd3 = true;
    auto child = Child::spawn(options);
    if (!child) {
        return false;
    }
    std::vector<uint8_t> audio;
    return child->readFd3(audio, 4 * 960, kPulseStartTimeout) >= 4 * 960;
}

bool runToSuccess(ChildOptions options, milliseconds timeout)
{
    options.pipeStdin = false;
    auto child = Child::spawn(options);
    if (!child) {
        return false;
    }
    const auto status = child->waitExit(timeout);
    return status && *status == 0;
}

}  // namespace

std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::vector<std::string> PrivatePulse::foreignEnvironment()
{
    return {"PULSE_SERVER",  "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",         "PULSE_CONFIG_PATH",
            "PULSE_COOKIE",  "PULSE_CLIENTCONFIG", "PULSE_SINK",               "PULSE_SOURCE",
            "DISPLAY",       "WAYLAND_DISPLAY",    "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
}

std::optional<PrivatePulse> PrivatePulse::start(const PulseOptions& options, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        return std::nullopt;
    };
    const std::string program = findProgram("pulseaudio");
    if (program.empty()) {
        return fail("pulseaudio not found in PATH");
    }
    PrivatePulse pulse;
    pulse.directory_ = makeDirectory(error);
    if (pulse.directory_.empty()) {
        return std::nullopt;
    }
    const std::string& dir = pulse.directory_;
    std::error_code ignored;
    fs::create_directories(dir + "/home/.config", ignored);
    fs::create_directories(dir + "/run", ignored);
    fs::permissions(dir + "/run", fs::perms::owner_all, ignored);
    if (!writeScript(dir, options)) {
        return fail("cannot write the server script");
    }
    if (!pulse.launchDaemon(error)) {
        return std::nullopt;
    }
    return pulse;
}

bool PrivatePulse::launchDaemon(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        return false;
    };
    const std::string program = findProgram("pulseaudio");
    const std::string& dir = directory_;
    // Daemonized, the first process exits only once the daemon has loaded
    // its modules and listens: its exit is the readiness signal.
    ChildOptions launch;
    launch.argv = {program,
                   "-n",
                   "-F",
                   dir + "/server.pa",
                   "--daemonize=yes",
                   "--system=no",
                   "--use-pid-file=yes",
                   "--exit-idle-time=-1",
                   "--disallow-exit=yes",
                   "--disallow-module-loading=no",
                   "--no-cpu-limit=yes",
                   "--log-target=file:" + dir + "/daemon.log"};
    launch.extraEnv = daemonEnvironment(dir);
    launch.removeEnv = foreignEnvironment();
    if (!runToSuccess(launch, kPulseStartTimeout)) {
        return fail("pulseaudio did not start; see its log in " + dir);
    }
    daemonPid_ = readPid(dir + "/run/pulse/pid");
    if (daemonPid_ <= 0) {
        return fail("pulseaudio left no pid file");
    }
    if (!waitForAudio(clientEnvironment())) {
        return fail("the private server delivers no audio");
    }
    return true;
}

bool PrivatePulse::kill()
{
    if (daemonPid_ <= 0 || ::kill(daemonPid_, SIGKILL) != 0) {
        return false;
    }
    const bool gone = waitGone(daemonPid_, kPulseStopTimeout);
    daemonPid_ = -1;
    return gone;
}

bool PrivatePulse::restart(std::string* error)
{
    if (daemonPid_ > 0 || directory_.empty()) {
        return false;
    }
    // What the killed daemon left behind would stop the new one.
    std::error_code ignored;
    fs::remove(directory_ + "/native", ignored);
    fs::remove(directory_ + "/run/pulse/pid", ignored);
    return launchDaemon(error);
}

PrivatePulse::PrivatePulse(PrivatePulse&& other) noexcept
    : directory_(std::move(other.directory_)), daemonPid_(other.daemonPid_)
{
    other.directory_.clear();
    other.daemonPid_ = -1;
}

PrivatePulse& PrivatePulse::operator=(PrivatePulse&& other) noexcept
{
    if (this != &other) {
        stop();
        directory_ = std::move(other.directory_);
        daemonPid_ = other.daemonPid_;
        other.directory_.clear();
        other.daemonPid_ = -1;
    }
    return *this;
}

PrivatePulse::~PrivatePulse()
{
    stop();
}

void PrivatePulse::stop()
{
    if (daemonPid_ > 0) {
        ::kill(daemonPid_, SIGTERM);
        if (!waitGone(daemonPid_, kPulseStopTimeout)) {
            ::kill(daemonPid_, SIGKILL);
            waitGone(daemonPid_, kPulseStopTimeout);
        }
        daemonPid_ = -1;
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
        directory_.clear();
    }
}

std::string PrivatePulse::serverAddress() const
{
    return "unix:" + directory_ + "/native";
}

std::vector<std::string> PrivatePulse::clientEnvironment() const
{
    return {"PULSE_SERVER=" + serverAddress(), "HOME=" + directory_ + "/home",
            "XDG_CONFIG_HOME=" + directory_ + "/home/.config"};
}

bool PrivatePulse::removeDefaultSource() const
{
    const std::string program = findProgram("pactl");
    ChildOptions options;
    options.argv = {program, "list", "short", "modules"};
    options.extraEnv = clientEnvironment();
    options.removeEnv = foreignEnvironment();
    options.pipeStdin = false;
    auto child = Child::spawn(options);
    if (program.empty() || !child) {
        return false;
    }
    std::stringstream modules(child->readRemainingStdout(kPactlTimeout));
    std::string line;
    while (std::getline(modules, line)) {
        if (line.find("module-null-sink") != std::string::npos && line.find("sink_name=tone") != std::string::npos) {
            return pactl({"unload-module", line.substr(0, line.find('\t'))});
        }
    }
    return false;
}

bool PrivatePulse::pactl(const std::vector<std::string>& arguments) const
{
    const std::string program = findProgram("pactl");
    if (program.empty()) {
        return false;
    }
    ChildOptions options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.extraEnv = clientEnvironment();
    options.removeEnv = foreignEnvironment();
    return runToSuccess(options, kPactlTimeout);
}

}  // namespace testsupport
