// One heartbeat tick on a healthy tap, its line going to a pipe.
// Goal: at most 50 us.
#include "bench_support.h"

#include "event_tap.h"
#include "heartbeat.h"
#include "lifecycle.h"
#include "sim_backend.h"

#include <CoreGraphics/CoreGraphics.h>

namespace {

constexpr int kTicks = 20000;

}  // namespace

int main()
{
    auto keyboard = sim::Keyboard::install();
    keyboard->advance(1000.0);
    resetKeywatchGlobals();
    gEventMask = 0x1C00;
    gMainRunLoop = CFRunLoopGetCurrent();
    int32_t kind = -1;
    installEventTap(&kind);
    gParentPid = getppid();

    kwbench::DrainedPipe output;
    std::vector<kwbench::Nanoseconds> samples;
    samples.reserve(kTicks);
    for (int i = 0; i < kTicks; ++i) {
        const auto start = std::chrono::steady_clock::now();
        heartbeat(nullptr, nullptr);
        samples.push_back(std::chrono::steady_clock::now() - start);
    }
    kwbench::printFigures("heartbeat tick (healthy tap, hb line)", samples);
    printf("goal: at most 50 us per tick\n");
    resetKeywatchGlobals();
    return 0;
}
