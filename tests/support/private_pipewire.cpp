#include "private_pipewire.h"

#include "private_pulse.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

// The first start of the three servers reads their modules from disk.
constexpr milliseconds kPipewireStartTimeout{30000};
constexpr milliseconds kPipewireStopTimeout{15000};

}  // namespace

std::optional<PrivatePipewire> PrivatePipewire::start(std::string* error)
{
    std::string message;
    std::string directory = (fs::temp_directory_path() / "private-pipewire-XXXXXX").string();
    if (::mkdtemp(directory.data()) == nullptr) {
        if (error) {
            *error = "mkdtemp failed";
        }
        return std::nullopt;
    }
    ChildOptions child;
    child.argv = {PRIVATE_PIPEWIRE_SCRIPT, directory};
    child.removeEnv = PrivatePulse::foreignEnvironment();
    auto script = Child::spawn(child, &message);
    PrivatePipewire pipewire(std::move(script), std::move(directory));
    if (!pipewire.script_ || !pipewire.awaitReady(&message)) {
        if (error) {
            *error = message;
        }
        return std::nullopt;
    }
    return pipewire;
}

PrivatePipewire::PrivatePipewire(std::optional<Child> script, std::string directory)
    : script_(std::move(script)), directory_(std::move(directory))
{
}

PrivatePipewire::PrivatePipewire(PrivatePipewire&& other) noexcept
    : script_(std::exchange(other.script_, std::nullopt)),
      directory_(std::exchange(other.directory_, {})),
      address_(std::move(other.address_))
{
}

PrivatePipewire& PrivatePipewire::operator=(PrivatePipewire&& other) noexcept
{
    if (this != &other) {
        stop();
        script_ = std::exchange(other.script_, std::nullopt);
        directory_ = std::exchange(other.directory_, {});
        address_ = std::move(other.address_);
    }
    return *this;
}

PrivatePipewire::~PrivatePipewire()
{
    stop();
}

std::vector<std::string> PrivatePipewire::clientEnvironment() const
{
    return {"PULSE_SERVER=" + address_, "HOME=" + directory_, "XDG_CONFIG_HOME=" + directory_ + "/config"};
}

bool PrivatePipewire::awaitReady(std::string* error)
{
    const auto deadline = std::chrono::steady_clock::now() + kPipewireStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto line = script_->readLine(left);
        if (!line) {
            break;
        }
        if (line->rfind("PULSE_SERVER=", 0) == 0) {
            address_ = line->substr(13);
        } else if (*line == "ready") {
            return !address_.empty();
        }
    }
    if (error) {
        *error = "no \"ready\" from the script: " + script_->readStderr(milliseconds(500));
    }
    return false;
}

// A closed standard input ends the script, which stops the servers.
void PrivatePipewire::stop()
{
    if (script_) {
        script_->closeStdin();
        if (!script_->waitExit(kPipewireStopTimeout)) {
            script_->sendSignal(SIGTERM);
            script_->waitExit(kPipewireStopTimeout);
        }
        script_.reset();
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
}

}  // namespace testsupport
