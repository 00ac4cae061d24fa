#include "host_run.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace hosttest {

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ptt-host-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

ScratchDir::~ScratchDir()
{
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::optional<HostRun> HostRun::start(const std::string& program, const std::vector<std::string>& args,
                                      const std::vector<std::string>& env, std::string* error)
{
    testsupport::ChildOptions options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.extraEnv = env;
    options.removeEnv = {"PTT_HELPERS_DIR"};
    auto child = testsupport::Child::spawn(options, error);
    if (!child) {
        return std::nullopt;
    }
    return HostRun(std::move(*child));
}

std::optional<std::string> HostRun::waitFor(const std::string& text, milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        auto line = child_->readLine(std::max(left, 0ms));
        if (!line) {
            return std::nullopt;
        }
        lines_.push_back(*line);
        if (line->find(text) != std::string::npos) {
            return line;
        }
    }
}

std::string HostRun::transcript() const
{
    std::string text;
    for (const auto& line : lines_) {
        text += "  " + line + "\n";
    }
    return text;
}

pid_t startedPid(const std::string& line)
{
    const auto at = line.find(" started (pid ");
    return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 14);
}

std::string utterancePath(const std::string& line)
{
    const auto colon = line.find(": ");
    const auto comma = line.rfind(", ");
    if (line.rfind("utterance ", 0) != 0 || colon == std::string::npos || comma == std::string::npos || comma < colon) {
        return {};
    }
    return line.substr(colon + 2, comma - colon - 2);
}

bool waitForFileSize(const std::string& path, size_t bytes, milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        if (!error && size >= bytes) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Nothing to wait on but the file itself: look again shortly.
        std::this_thread::sleep_for(20ms);
    }
}

bool processGone(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool writeScript(const std::string& path, const std::string& body)
{
    {
        std::ofstream script(path);
        script << "#!/bin/sh\n" << body << "\n";
        if (!script) {
            return false;
        }
    }
    return ::chmod(path.c_str(), 0755) == 0;
}

}  // namespace hosttest
