// keywatch's evdev tap in a guest with a real kernel: key press to line and
// to the event applications receive, beside a bare uinput-to-reader round
// trip in the same run, and the idle cost of the running tap.
// Usage, in a guest, from the source tree:
//   VM_EXTRA_FILES=$PWD/build/bin/keywatch VM_TIMEOUT=300 tests/vm/run-in-guest build/bin/bench_keywatch_evdev [idle s]
// Idle time is 60 s unless given.
#include "child_process.h"
#include "keywatch_lines.h"
#include "input_devices.h"
#include "input_reader.h"
#include "relay_chain.h"
#include "uinput_keyboard.h"

#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::InputReader;
using testsupport::UinputKeyboard;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr int kPresses = 1000;
constexpr int kIdleSecondsDefault = 60;
const std::string kRightControlDown = R"({"t":"pd","v":163})";
const std::string kRightControlUp = R"({"t":"pu","v":163})";

struct Spread {
    double median = 0;
    double p99 = 0;
};

Spread spread(std::vector<double> samples)
{
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.5), at(0.99)};
}

void printSpread(const char* what, const Spread& s, size_t count)
{
    std::printf("%-40s median %8.1f us   p99 %8.1f us   (n=%zu)\n", what, s.median, s.p99, count);
}

void printAgainstBare(const char* what, const Spread& s, const Spread& bare)
{
    if (bare.median > 0 && bare.p99 > 0) {
        std::printf("%-40s median x%.2f (+%.1f us)   p99 x%.2f (+%.1f us)\n", what, s.median / bare.median,
                    s.median - bare.median, s.p99 / bare.p99, s.p99 - bare.p99);
    }
}

// The next line that is not a heartbeat is `wanted`.
bool nextEventIs(Child& keywatch, const std::string& wanted)
{
    return testsupport::nextEventLine(keywatch, 3000ms) == wanted;
}

bool nextKeyIs(InputReader& reader, uint16_t code, int32_t value)
{
    return reader.next(3000ms) == testsupport::keyEvent(code, value);
}

// Microseconds from each press of `device` to `arrived()`; `settle()` then
// reads what else the press and its release produced.
std::vector<double> pressTo(UinputKeyboard& device, const std::function<bool()>& arrived,
                            const std::function<bool()>& settle)
{
    std::vector<double> samples;
    samples.reserve(kPresses);
    for (int i = 0; i < kPresses; ++i) {
        const auto sent = Clock::now();
        device.press(KEY_RIGHTCTRL);
        const bool seen = arrived();
        const auto at = Clock::now();
        device.release(KEY_RIGHTCTRL);
        if (!seen || !settle()) {
            break;
        }
        samples.push_back(Micros(at - sent).count());
    }
    return samples;
}

struct Running {
    Child keywatch;
    InputReader applications;
};

std::optional<Running> startKeywatch(const UinputKeyboard& keyboard)
{
    testsupport::ChildOptions options;
    options.argv = {KEYWATCH_PATH, "65"};
    options.removeEnv = {"DISPLAY"};
    auto keywatch = Child::spawn(options);
    if (!keywatch || keywatch->readLine(3000ms) != R"({"t":"ok","tap":0,"en":true,"im":0,"remap":-1})") {
        return std::nullopt;
    }
    auto applications = InputReader::openByName("bench physical keyboard (keywatch)", 3000ms);
    if (!applications || !testsupport::waitGrabError(keyboard.devnode(), EBUSY, 3000ms)) {
        return std::nullopt;
    }
    return Running{std::move(*keywatch), std::move(*applications)};
}

void benchLatency(UinputKeyboard& keyboard, Running& run)
{
    // Not a keyboard by keywatch's rule (no A, Z or Caps Lock), so never grabbed.
    auto reference = UinputKeyboard::createWithKeys("bench reference device", {KEY_RIGHTCTRL});
    auto direct = reference ? InputReader::open(reference->devnode()) : std::nullopt;
    if (!direct) {
        std::printf("no reference device\n");
        return;
    }
    const auto bare = pressTo(*reference, [&] { return nextKeyIs(*direct, KEY_RIGHTCTRL, 1); },
                              [&] { return nextKeyIs(*direct, KEY_RIGHTCTRL, 0); });
    const auto toLine = pressTo(
        keyboard, [&] { return nextEventIs(run.keywatch, kRightControlDown); },
        [&] {
            return nextEventIs(run.keywatch, kRightControlUp) && run.applications.take(2, 3000ms).size() == 2;
        });
    const auto toApplications = pressTo(
        keyboard, [&] { return nextKeyIs(run.applications, KEY_RIGHTCTRL, 1); },
        [&] {
            return nextKeyIs(run.applications, KEY_RIGHTCTRL, 0) && nextEventIs(run.keywatch, kRightControlDown) &&
                   nextEventIs(run.keywatch, kRightControlUp);
        });
    // The same presses through a bare grab-and-re-emit chain.
    auto relayInput = UinputKeyboard::createWithKeys("bench relay input", {KEY_RIGHTCTRL});
    auto relay = relayInput ? bench::RelayChain::start(relayInput->devnode(), "bench relay output", {KEY_RIGHTCTRL})
                            : nullptr;
    auto relayed = relay ? InputReader::open(relay->outputNode()) : std::nullopt;
    std::vector<double> chain;
    if (relayed) {
        chain = pressTo(*relayInput, [&] { return nextKeyIs(*relayed, KEY_RIGHTCTRL, 1); },
                        [&] { return nextKeyIs(*relayed, KEY_RIGHTCTRL, 0); });
    }
    const Spread bareSpread = spread(bare);
    const Spread chainSpread = spread(chain);
    printSpread("bare: uinput write -> evdev read", bareSpread, bare.size());
    printSpread("relay chain: grab, read, re-emit", chainSpread, chain.size());
    printSpread("keywatch: press -> pd line", spread(toLine), toLine.size());
    printSpread("keywatch: press -> virtual keyboard", spread(toApplications), toApplications.size());
    printAgainstBare("pd line against bare", spread(toLine), bareSpread);
    printAgainstBare("virtual keyboard against bare", spread(toApplications), bareSpread);
    printAgainstBare("virtual keyboard against relay chain", spread(toApplications), chainSpread);
}

struct CpuUse {
    double statSeconds = 0;     // utime + stime
    double schedSeconds = 0;    // time on a CPU, from the scheduler
    long long timeslices = 0;   // times it was scheduled to run
    long long switches = 0;     // voluntary + involuntary context switches
};

long long statusCount(const std::filesystem::path& status, const std::string& name)
{
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::atoll(line.c_str() + name.size() + 1);
        }
    }
    return 0;
}

// Summed over every thread of the process.
CpuUse cpuUse(pid_t pid)
{
    CpuUse use;
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    std::ifstream statFile(proc / "stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised name: state is the 3rd, utime the 14th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::atoll(field.c_str());
        }
    }
    use.statSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc / "task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long onCpuNs = 0;
        long long waitNs = 0;
        long long slices = 0;
        if (schedstat >> onCpuNs >> waitNs >> slices) {
            use.schedSeconds += static_cast<double>(onCpuNs) / 1e9;
            use.timeslices += slices;
        }
        use.switches += statusCount(task.path() / "status", "voluntary_ctxt_switches") +
                        statusCount(task.path() / "status", "nonvoluntary_ctxt_switches");
    }
    return use;
}

// keywatch's children: the guard that lets the keyboards go if it stops.
std::vector<pid_t> childrenOf(pid_t pid)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

void benchIdle(Running& run, int seconds)
{
    run.keywatch.readRemainingStdout(0ms);
    const std::vector<pid_t> guards = childrenOf(run.keywatch.pid());
    std::vector<CpuUse> guardsBefore;
    for (const pid_t guard : guards) {
        guardsBefore.push_back(cpuUse(guard));
    }
    const CpuUse before = cpuUse(run.keywatch.pid());
    const auto started = Clock::now();
    int beats = 0;
    while (Clock::now() - started < std::chrono::seconds(seconds)) {
        if (auto line = run.keywatch.readLine(1000ms); line && testsupport::isHeartbeat(*line)) {
            ++beats;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const CpuUse after = cpuUse(run.keywatch.pid());
    std::printf("%-40s %.4f %% of a core (utime+stime), %.4f %% (scheduler) over %.0f s\n", "idle CPU",
                100.0 * (after.statSeconds - before.statSeconds) / elapsed,
                100.0 * (after.schedSeconds - before.schedSeconds) / elapsed, elapsed);
    const long long slices = after.timeslices - before.timeslices;
    const long long switches = after.switches - before.switches;
    std::printf("%-40s %lld timeslices, %lld context switches, %d heartbeats: %.1f wake-ups per heartbeat\n",
                "idle wake-ups", slices, switches, beats, beats > 0 ? static_cast<double>(slices) / beats : 0.0);
    for (size_t i = 0; i < guards.size(); ++i) {
        const CpuUse guardAfter = cpuUse(guards[i]);
        std::printf("%-40s %lld timeslices, %lld context switches\n", "idle wake-ups of the guard",
                    guardAfter.timeslices - guardsBefore[i].timeslices, guardAfter.switches - guardsBefore[i].switches);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kIdleSecondsDefault;
    std::string error;
    auto keyboard = UinputKeyboard::create("bench physical keyboard", &error);
    if (!keyboard) {
        std::printf("no uinput keyboard: %s\n", error.c_str());
        return 1;
    }
    auto run = startKeywatch(*keyboard);
    if (!run) {
        std::printf("keywatch did not start with the evdev tap\n");
        return 1;
    }
    std::printf("keywatch's evdev tap in a guest, %d presses of right Control each\n", kPresses);
    benchLatency(*keyboard, *run);
    benchIdle(*run, idleSeconds);
    run->keywatch.closeStdin();
    run->keywatch.readRemainingStdout(3000ms);
    return run->keywatch.waitExit(3000ms) == 0 ? 0 : 1;
}
