#include "remap_reset.h"

#include "lifecycle.h"
#include "options.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kParentProbes = 5;
constexpr useconds_t kProbeWait = 25000;
constexpr int kWaitTries = 40;
constexpr useconds_t kWaitStep = 50000;

bool stopRequested()
{
    return gStopRequested.load() != 0;
}

bool parentGoneWithinProbes()
{
    for (int probe = 0; probe < kParentProbes; ++probe) {
        if (probe > 0) {
            if (stopRequested())
                return false;
            usleep(kProbeWait);
        }
        if (!isParentAlive())
            return true;
    }
    return false;
}

void waitBriefly(pid_t child)
{
    for (int attempt = 0; attempt < kWaitTries; ++attempt) {
        int status = 0;
        const pid_t waited = waitpid(child, &status, WNOHANG);
        if (waited == child || waited < 0)
            return;
        usleep(kWaitStep);
    }
}

}  // namespace

bool remapResetDue()
{
    if (remapKeycode < 0 || stopRequested())
        return false;
    if (!parentGoneWithinProbes())
        return false;
    return !stopRequested();
}

void resetSystemKeyMapping()
{
    char program[] = "/usr/bin/hidutil";
    char property[] = "property";
    char set[] = "--set";
    char emptyMapping[] = "{\"UserKeyMapping\":[]}";
    char* const arguments[] = {program, property, set, emptyMapping, nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, program, nullptr, nullptr, arguments, environ) != 0 || child <= 0)
        return;
    waitBriefly(child);
}
