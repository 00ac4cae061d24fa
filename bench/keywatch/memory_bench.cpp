// Resident memory of an idle keywatch (on the simulated keyboard), read
// from the kernel once it has written its start-up line. Goal: 4 MiB.
#include "child_process.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

namespace {

using namespace std::chrono_literals;

// A field of /proc/<pid>/status in KiB, or -1.
long statusKiB(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

}  // namespace

int main()
{
    testsupport::ChildOptions options;
    options.argv = {KEYWATCH_IDLE_BINARY, "65", "83", "--remap", "105"};
    std::string error;
    std::optional<testsupport::Child> child = testsupport::Child::spawn(options, &error);
    if (!child) {
        printf("cannot start keywatch: %s\n", error.c_str());
        return 1;
    }
    const std::optional<std::string> ok = child->readLine(5000ms);
    if (!ok) {
        printf("keywatch wrote no start-up line\n");
        return 1;
    }
    // Let the run loop and the stdin thread settle into their waits.
    child->readLine(300ms);
    const long rss = statusKiB(child->pid(), "VmRSS");
    const long peak = statusKiB(child->pid(), "VmHWM");
    printf("idle keywatch: %s\n", ok->c_str());
    printf("resident memory %ld KiB (%.2f MiB), peak %ld KiB\n", rss, double(rss) / 1024.0, peak);
    printf("goal: at most 4 MiB (4096 KiB)\n");
    child->closeStdin();
    child->waitExit(5000ms);
    return 0;
}
