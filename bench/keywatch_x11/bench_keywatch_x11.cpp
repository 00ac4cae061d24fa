// keywatch on a private Xvfb: key press to line, idle cost, memory and
// start-up, with `xinput test-xi2 --root` on the same presses beside it.
// Usage: bench_keywatch_x11 [idle seconds, default 60]
#include "child_process.h"
#include "private_xvfb.h"
#include "xtest_keyboard.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::PrivateXvfb;
using testsupport::XtestKeyboard;
namespace xkey = testsupport::xkey;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr int kPresses = 1000;
constexpr int kStarts = 30;

struct Spread {
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Spread spread(std::vector<double> samples)
{
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.5), at(0.99), samples.back()};
}

std::optional<Child> startKeywatch(const PrivateXvfb& display, std::vector<std::string> args)
{
    testsupport::ChildOptions options;
    options.argv = {KEYWATCH_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.extraEnv = {display.displayEnv()};
    return Child::spawn(options);
}

bool readLineEqual(Child& child, const std::string& wanted)
{
    for (;;) {
        auto line = child.readLine(3000ms);
        if (!line) {
            return false;
        }
        if (*line == wanted) {
            return true;
        }
    }
}

bool readLineContaining(Child& child, const std::string& wanted)
{
    for (;;) {
        auto line = child.readLine(3000ms);
        if (!line) {
            return false;
        }
        if (line->find(wanted) != std::string::npos) {
            return true;
        }
    }
}

// Microseconds from each press being sent to the watcher's first line for
// it; `settle` then reads what else the press printed.
template <typename AwaitLine, typename Settle>
std::vector<double> pressToLine(XtestKeyboard& keys, uint8_t keycode, AwaitLine awaitPress, Settle settle)
{
    std::vector<double> samples;
    samples.reserve(kPresses);
    for (int i = 0; i < kPresses; ++i) {
        const auto sent = Clock::now();
        keys.press(keycode);
        const bool seen = awaitPress();
        const auto arrived = Clock::now();
        keys.release(keycode);
        keys.sync();
        if (!seen || !settle()) {
            break;
        }
        samples.push_back(Micros(arrived - sent).count());
    }
    return samples;
}

void printSpread(const char* what, const Spread& s, size_t count)
{
    std::printf("%-34s median %8.1f us   p99 %8.1f us   max %8.1f us   (n=%zu)\n", what, s.median, s.p99, s.max, count);
}

void benchLatency(const PrivateXvfb& display, XtestKeyboard& keys)
{
    auto keywatch = startKeywatch(display, {"65"});
    if (!keywatch || !readLineContaining(*keywatch, "\"t\":\"ok\"")) {
        std::printf("keywatch did not start\n");
        return;
    }
    keys.tap(xkey::kCapsLock);
    readLineEqual(*keywatch, R"({"t":"cd"})");
    auto watched = pressToLine(
        keys, xkey::kA, [&] { return readLineEqual(*keywatch, R"({"t":"kd","v":65})"); },
        [&] { return readLineEqual(*keywatch, R"({"t":"ku","v":65})"); });
    keys.tap(xkey::kCapsLock);
    keywatch->closeStdin();
    keywatch->waitExit(3000ms);
    const Spread ours = spread(watched);
    printSpread("keywatch: press -> kd line", ours, watched.size());

    testsupport::ChildOptions options;
    // Line-buffered, or its lines would wait in a pipe buffer.
    options.argv = {"/usr/bin/stdbuf", "-oL", "/usr/bin/xinput", "test-xi2", "--root"};
    options.extraEnv = {display.displayEnv()};
    auto xinput = Child::spawn(options);
    if (!xinput) {
        std::printf("xinput did not start\n");
        return;
    }
    // Its first release line proves it has selected its events. It prints
    // each key event twice, for the keyboard and for its master device.
    keys.tap(xkey::kA);
    readLineContaining(*xinput, "(KeyRelease)");
    readLineContaining(*xinput, "(KeyRelease)");
    const auto nextPress = [&] { return readLineContaining(*xinput, "(KeyPress)"); };
    auto reference = pressToLine(keys, xkey::kA, nextPress, [&] {
        return nextPress() && readLineContaining(*xinput, "(KeyRelease)") &&
               readLineContaining(*xinput, "(KeyRelease)");
    });
    const Spread theirs = spread(reference);
    printSpread("xinput test-xi2: press -> line", theirs, reference.size());
    if (theirs.median > 0 && theirs.p99 > 0) {
        std::printf("%-34s median %.2f   p99 %.2f   (goal: keywatch p99 <= 2000 us)\n", "ratio keywatch / xinput",
                    ours.median / theirs.median, ours.p99 / theirs.p99);
    }
}

void benchStart(const PrivateXvfb& display)
{
    std::vector<double> samples;
    for (int i = 0; i < kStarts; ++i) {
        const auto spawned = Clock::now();
        auto keywatch = startKeywatch(display, {});
        if (!keywatch || !readLineContaining(*keywatch, "\"t\":\"ok\"")) {
            break;
        }
        samples.push_back(Micros(Clock::now() - spawned).count() / 1000.0);
        keywatch->closeStdin();
        keywatch->waitExit(3000ms);
    }
    const Spread s = spread(samples);
    std::printf("%-34s median %8.2f ms   p99 %8.2f ms   max %8.2f ms   (n=%zu, goal <= 30 ms)\n",
                "start -> ok line", s.median, s.p99, s.max, samples.size());
}

struct CpuUse {
    double seconds = 0;   // time on a CPU
    long timeslices = 0;  // times it was scheduled to run
};

// Summed over every thread of the process, from the scheduler's own counts.
CpuUse cpuUse(pid_t pid)
{
    CpuUse use;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long onCpuNs = 0;
        long long waitNs = 0;
        long slices = 0;
        if (schedstat >> onCpuNs >> waitNs >> slices) {
            use.seconds += static_cast<double>(onCpuNs) / 1e9;
            use.timeslices += slices;
        }
    }
    return use;
}

std::string statusField(pid_t pid, const std::string& name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return line.substr(name.size() + 1);
        }
    }
    return "?";
}

void benchIdle(const PrivateXvfb& display, int seconds)
{
    auto keywatch = startKeywatch(display, {"65", "66"});
    if (!keywatch || !readLineContaining(*keywatch, "\"t\":\"ok\"")) {
        std::printf("keywatch did not start\n");
        return;
    }
    const CpuUse before = cpuUse(keywatch->pid());
    const auto started = Clock::now();
    int beats = 0;
    while (Clock::now() - started < std::chrono::seconds(seconds)) {
        if (auto line = keywatch->readLine(3000ms); line && line->find("\"t\":\"hb\"") != std::string::npos) {
            ++beats;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const CpuUse after = cpuUse(keywatch->pid());
    const double percent = 100.0 * (after.seconds - before.seconds) / elapsed;
    std::printf("%-34s %.4f %% of a core over %.0f s; %ld wake-ups, %d heartbeats (goal <= 0.05 %%)\n", "idle CPU",
                percent, elapsed, after.timeslices - before.timeslices, beats);
    std::printf("%-34s VmRSS%s   VmHWM%s   (goal <= 6 MiB)\n", "resident memory",
                statusField(keywatch->pid(), "VmRSS").c_str(), statusField(keywatch->pid(), "VmHWM").c_str());
    keywatch->closeStdin();
    keywatch->waitExit(3000ms);
}

}  // namespace

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    std::string error;
    auto display = PrivateXvfb::start(&error);
    if (!display) {
        std::printf("no Xvfb: %s\n", error.c_str());
        return 1;
    }
    auto keys = XtestKeyboard::connect(display->name());
    if (!keys) {
        std::printf("no XTEST on %s\n", display->name().c_str());
        return 1;
    }
    std::printf("keywatch on a private Xvfb (%s), %d presses each\n", display->name().c_str(), kPresses);
    benchLatency(*display, *keys);
    benchStart(*display);
    benchIdle(*display, idleSeconds);
    return 0;
}
