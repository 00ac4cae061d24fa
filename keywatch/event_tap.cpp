#include "event_tap.h"

#include "key_state.h"
#include "lines.h"
#include "tap_callback.h"

CFMachPortRef gTap = nullptr;
CFRunLoopSourceRef gTapSource = nullptr;
int32_t gTapType = -1;
CGEventMask gEventMask = 0;
CFRunLoopRef gMainRunLoop = nullptr;
int32_t listenOnlyUpgradeCounter = 0;

namespace {

struct TapKind {
    CGEventTapLocation location;
    CGEventTapOptions options;
};

constexpr TapKind kTapKinds[] = {
    {kCGHIDEventTap, kCGEventTapOptionDefault},
    {kCGSessionEventTap, kCGEventTapOptionDefault},
    {kCGSessionEventTap, kCGEventTapOptionListenOnly},
};
constexpr int32_t kTapKindCount = 3;
constexpr int32_t kActiveTapKindCount = 2;

// The first of the first `kindCount` kinds that can be created, or null.
CFMachPortRef createFirstTap(int32_t kindCount, int32_t* kind)
{
    for (int32_t k = 0; k < kindCount; ++k) {
        CFMachPortRef tap = CGEventTapCreate(kTapKinds[k].location, kCGHeadInsertEventTap, kTapKinds[k].options,
                                             gEventMask, cb, nullptr);
        if (tap != nullptr) {
            *kind = k;
            return tap;
        }
    }
    return nullptr;
}

void discardTap(CFMachPortRef tap)
{
    CFMachPortInvalidate(tap);
    CFRelease(tap);
}

void adopt(CFMachPortRef tap, CFRunLoopSourceRef source, int32_t kind)
{
    gTap = tap;
    gTapSource = source;
    gTapType = kind;
}

}  // namespace

bool installEventTap(int32_t* kind)
{
    int32_t created = -1;
    CFMachPortRef tap = createFirstTap(kTapKindCount, &created);
    if (tap == nullptr) {
        *kind = -1;
        return false;
    }
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    if (source == nullptr) {
        discardTap(tap);
        *kind = -1;
        return false;
    }
    adopt(tap, source, created);
    if (gMainRunLoop != nullptr)
        CFRunLoopAddSource(gMainRunLoop, gTapSource, kCFRunLoopCommonModes);
    CGEventTapEnable(gTap, true);
    *kind = created;
    if (!CFMachPortIsValid(gTap))
        return false;
    return CGEventTapIsEnabled(gTap);
}

void teardownEventTap()
{
    if (gTapSource != nullptr && gMainRunLoop != nullptr)
        CFRunLoopRemoveSource(gMainRunLoop, gTapSource, kCFRunLoopCommonModes);
    if (gTapSource != nullptr) {
        CFRelease(gTapSource);
        gTapSource = nullptr;
    }
    if (gTap != nullptr) {
        CGEventTapEnable(gTap, false);
        discardTap(gTap);
        gTap = nullptr;
    }
    gTapType = -1;
}

void recreateEventTap(const char* reason)
{
    resetKeyState();
    teardownEventTap();
    int32_t kind = -1;
    const bool ok = installEventTap(&kind);
    writeRecreatedLine(ok, kind, reason);
}

void tryUpgradeListenOnlyTap()
{
    if (gTapType != kListenOnlyTap || gMainRunLoop == nullptr)
        return;
    int32_t kind = -1;
    CFMachPortRef tap = createFirstTap(kActiveTapKindCount, &kind);
    if (tap == nullptr)
        return;
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    if (source == nullptr) {
        discardTap(tap);
        return;
    }
    // The listen-only tap has served events until now.
    teardownEventTap();
    resetKeyState();
    adopt(tap, source, kind);
    CFRunLoopAddSource(gMainRunLoop, gTapSource, kCFRunLoopCommonModes);
    CGEventTapEnable(gTap, true);
    listenOnlyUpgradeCounter = 0;
    writeUpgradedLine(gTapType, CGEventTapIsEnabled(gTap));
}

bool applyListenOnlyUpgradeRule(bool secureInput)
{
    if (secureInput || gTapType != kListenOnlyTap) {
        listenOnlyUpgradeCounter = 0;
        return false;
    }
    const int32_t before = listenOnlyUpgradeCounter++;
    if (before < 4)
        return false;
    listenOnlyUpgradeCounter = 0;
    tryUpgradeListenOnlyTap();
    return true;
}

void resetEventTapGlobals()
{
    teardownEventTap();
    gEventMask = 0;
    gMainRunLoop = nullptr;
    listenOnlyUpgradeCounter = 0;
}
