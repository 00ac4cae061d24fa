// The recorder binary against a private PulseAudio: latency of "start",
// CPU time per second of capture and peak resident memory.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "private_pulse.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::milliseconds;

constexpr int kStarts = 20;
constexpr milliseconds kCaptureTime{10000};

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// User plus system CPU seconds of a process, from /proc.
double cpuSecondsOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The peak resident set size in KiB.
long peakResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double worst(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

bool stopRecording(testsupport::Child& child)
{
    child.writeStdin("{\"command\":\"stop\"}\n");
    for (auto line = child.readLine(milliseconds(5000)); line; line = child.readLine(milliseconds(5000))) {
        if (line->find("recording_stopped") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string binary = argc > 1 ? argv[1] : SOUNDRELAY_BINARY;
    std::string error;
    auto pulse = testsupport::PrivatePulse::start({}, &error);
    if (!pulse) {
        std::printf("live: no private PulseAudio: %s\n", error.c_str());
        return 1;
    }
    testsupport::ChildOptions options;
    options.argv = {binary};
    options.extraEnv = pulse->clientEnvironment();
    options.removeEnv = testsupport::PrivatePulse::foreignEnvironment();
    options.pipeFd3 = true;
    auto child = testsupport::Child::spawn(options, &error);
    if (!child) {
        std::printf("live: %s\n", error.c_str());
        return 1;
    }

    // Odd starts time the event, even ones the first PCM byte: the two
    // arrive on different pipes and each is read as it comes.
    std::vector<double> toEvent;
    std::vector<double> toFirstByte;
    std::vector<double> toStopped;  // with the converter drained
    for (int i = 0; i < kStarts; ++i) {
        std::vector<uint8_t> pcm;
        const auto start = Clock::now();
        child->writeStdin("{\"command\":\"start\"}\n");
        if (i % 2 == 0) {
            if (child->readFd3(pcm, 1, milliseconds(5000)) == 0) {
                std::printf("live: no PCM after start\n");
                return 1;
            }
            toFirstByte.push_back(msSince(start));
        } else {
            const auto line = child->readLine(milliseconds(5000));
            if (!line || line->find("recording_started") == std::string::npos) {
                std::printf("live: no recording_started: %s\n", line ? line->c_str() : "(nothing)");
                return 1;
            }
            toEvent.push_back(msSince(start));
        }
        const auto stop = Clock::now();
        if (!stopRecording(*child)) {
            std::printf("live: no recording_stopped\n");
            return 1;
        }
        toStopped.push_back(msSince(stop));
        child->collectFd3For(pcm, milliseconds(50));
    }
    std::printf("live start -> recording_started: median %.1f ms, worst %.1f ms (%zu starts)\n", median(toEvent),
                worst(toEvent), toEvent.size());
    std::printf("live start -> first PCM byte:    median %.1f ms, worst %.1f ms (%zu starts)\n", median(toFirstByte),
                worst(toFirstByte), toFirstByte.size());

    std::printf("live stop -> recording_stopped:   median %.1f ms, worst %.1f ms (%zu stops)\n", median(toStopped),
                worst(toStopped), toStopped.size());

    child->writeStdin("{\"command\":\"start\"}\n");
    std::vector<uint8_t> pcm;
    child->readFd3(pcm, 1, milliseconds(5000));
    const double cpuBefore = cpuSecondsOf(child->pid());
    const auto captureStart = Clock::now();
    child->collectFd3For(pcm, kCaptureTime);
    const double wall = msSince(captureStart) / 1000.0;
    const double cpu = cpuSecondsOf(child->pid()) - cpuBefore;
    const long peakKiB = peakResidentKiB(child->pid());
    stopRecording(*child);
    std::printf("live capture: %.2f%% of a core (%.2f s CPU in %.1f s, %zu PCM bytes, %.0f samples/s)\n",
                100.0 * cpu / wall, cpu, wall, pcm.size(), static_cast<double>(pcm.size()) / 2.0 / wall);
    std::printf("live peak resident memory: %.1f MiB\n", static_cast<double>(peakKiB) / 1024.0);
    child->closeStdin();
    child->waitExit(milliseconds(5000));
    return 0;
}
