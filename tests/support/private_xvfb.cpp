#include "private_xvfb.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>

namespace testsupport {

namespace {

constexpr milliseconds kXvfbStartTimeout{15000};
constexpr milliseconds kXvfbStopTimeout{5000};

std::optional<int> parseNumber(const std::string& text)
{
    int value = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// Left to itself the server takes the lowest free number: the one a test
// beside this one has just freed, and expects nobody to answer on. So each
// process counts up from a number of its own, and passes over one taken.
int nextDisplayNumber()
{
    static std::atomic<int> next{1000 + static_cast<int>(::getpid() % 4000) * 8};
    return next.fetch_add(1);
}

constexpr int kDisplayAttempts = 16;

}  // namespace

std::optional<PrivateXvfb> PrivateXvfb::start(std::string* error, const XvfbOptions& xvfb)
{
    if (xvfb.displayNumber) {
        return startOn(*xvfb.displayNumber, error, xvfb);
    }
    for (int attempt = 1;; ++attempt) {
        auto display = startOn(nextDisplayNumber(), error, xvfb);
        if (display || attempt == kDisplayAttempts) {
            return display;
        }
    }
}

std::optional<PrivateXvfb> PrivateXvfb::startOn(int number, std::string* error, const XvfbOptions& xvfb)
{
    ChildOptions options;
    // Appended rather than concatenated: gcc 12's optimiser raises a false
    // -Wrestrict on the operator+ form in Release builds.
    std::string display = ":";
    display += std::to_string(number);
    options.argv = {"/usr/bin/Xvfb", display};
    // The server names its display on descriptor 1 once it takes clients.
    // -noreset keeps the keyboard state when the last client leaves.
    for (const char* arg : {"-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "320x240x24"}) {
        options.argv.emplace_back(arg);
    }
    options.argv.insert(options.argv.end(), xvfb.extraArgs.begin(), xvfb.extraArgs.end());
    options.pipeStdin = false;
    auto server = Child::spawn(options, error);
    if (!server) {
        return std::nullopt;
    }
    const auto line = server->readLine(kXvfbStartTimeout);
    const auto announced = line ? parseNumber(*line) : std::nullopt;
    if (!announced) {
        if (error != nullptr) {
            *error = "Xvfb did not come up: " + server->readStderr(milliseconds(200));
        }
        return std::nullopt;
    }
    return PrivateXvfb(std::move(*server), *announced);
}

void PrivateXvfb::pause()
{
    if (server_) {
        server_->sendSignal(SIGSTOP);
    }
}

void PrivateXvfb::resume()
{
    if (server_) {
        server_->sendSignal(SIGCONT);
    }
}

std::optional<int> PrivateXvfb::stop()
{
    if (!server_) {
        return exitStatus_;
    }
    resume();
    // A terminated server removes its lock file and socket; a killed one would not.
    server_->sendSignal(SIGTERM);
    exitStatus_ = server_->waitExit(kXvfbStopTimeout);
    server_.reset();
    return exitStatus_;
}

}  // namespace testsupport
