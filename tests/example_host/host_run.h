// The example host run by a test, its report read line by line with every
// wait bounded, and a scratch directory for its files.
#pragma once

#include "child_process.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace hosttest {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// A fresh directory under the system's temporary directory, removed with
// everything in it when this goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class HostRun {
public:
    // Starts `program` with `args` and "KEY=VALUE" entries added to its
    // environment; empty, with `error` set, when it cannot be started.
    static std::optional<HostRun> start(const std::string& program, const std::vector<std::string>& args,
                                        const std::vector<std::string>& env, std::string* error);

    // Report lines until one containing `text`, which is returned; nothing
    // when the timeout passes or the report ends first.
    std::optional<std::string> waitFor(const std::string& text, milliseconds timeout = 5000ms);
    // Every line reported so far, for failure messages.
    std::string transcript() const;

    testsupport::Child& child() { return *child_; }

private:
    explicit HostRun(testsupport::Child child) : child_(std::move(child)) {}

    std::optional<testsupport::Child> child_;
    std::vector<std::string> lines_;
};

// The pid of a "<helper> started (pid N, ..." line; -1 without one.
pid_t startedPid(const std::string& line);

// The file named by an "utterance N: FILE, S s" line; empty without one.
std::string utterancePath(const std::string& line);

// Whether the file reaches `bytes` before the timeout: the host writes
// samples as they come and reports none of them.
bool waitForFileSize(const std::string& path, size_t bytes, milliseconds timeout);

// Whether no process, not even a zombie, has this pid.
bool processGone(pid_t pid);

// Writes an executable shell script.
bool writeScript(const std::string& path, const std::string& body);

}  // namespace hosttest
