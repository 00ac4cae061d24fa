// The tap callback's cost per event, from classification through to the
// written line, with the lines going to a pipe. Goal: p99 at most 5 us.
#include "bench_support.h"

#include "event_tap.h"
#include "key_state.h"
#include "lifecycle.h"
#include "options.h"
#include "sim_backend.h"
#include "tap_callback.h"

#include <CoreGraphics/CoreGraphics.h>
#include <QuartzCore/CABase.h>

#include <functional>
#include <string>

namespace {

constexpr int kRounds = 100000;

struct EventPair {
    const char* what;
    CGKeyCode keyCode;
    bool holdCaps;  // Caps push-to-talk held while these events come
};

// Each round is one key-down and one key-up of the key.
std::vector<kwbench::Nanoseconds> measure(const EventPair& pair)
{
    CGEventRef down = CGEventCreateKeyboardEvent(nullptr, pair.keyCode, true);
    CGEventRef up = CGEventCreateKeyboardEvent(nullptr, pair.keyCode, false);
    std::vector<kwbench::Nanoseconds> samples;
    samples.reserve(2 * kRounds);
    const auto timed = [&](CGEventType type, CGEventRef event) {
        const auto start = std::chrono::steady_clock::now();
        cb(nullptr, type, event, nullptr);
        samples.push_back(std::chrono::steady_clock::now() - start);
    };
    for (int round = 0; round < kRounds; ++round) {
        if (pair.holdCaps) {
            capsHeld = true;
            lastCapsActivityAt = CACurrentMediaTime();
        }
        timed(kCGEventKeyDown, down);
        timed(kCGEventKeyUp, up);
    }
    CFRelease(down);
    CFRelease(up);
    return samples;
}

}  // namespace

int main()
{
    auto keyboard = sim::Keyboard::install();
    keyboard->advance(1000.0);
    resetKeywatchGlobals();
    // A host's usual command line: a few watched letters and the remapped Caps key.
    std::vector<std::string> words = {"--remap", "105", "65", "83", "68", "70", "32", "13"};
    std::vector<char*> argv = {const_cast<char*>("keywatch")};
    for (std::string& word : words)
        argv.push_back(word.data());
    parseOptions(static_cast<int>(argv.size()), argv.data());
    gEventMask = 0x1C00;
    int32_t kind = -1;
    installEventTap(&kind);

    kwbench::DrainedPipe output;
    const EventPair pairs[] = {
        {"watched key, Caps held (kd/ku line)", 0, true},
        {"remapped Caps key (cd/cu line)", 105, false},
        {"other key, Caps held (no line)", 18, true},
        {"other key, Caps idle (no line)", 18, false},
    };
    std::vector<kwbench::Nanoseconds> all;
    for (const EventPair& pair : pairs) {
        std::vector<kwbench::Nanoseconds> samples = measure(pair);
        kwbench::printFigures(pair.what, samples);
        all.insert(all.end(), samples.begin(), samples.end());
    }
    kwbench::printFigures("all events", all);
    printf("goal: p99 at most 5 us per event\n");
    resetKeywatchGlobals();
    return 0;
}
