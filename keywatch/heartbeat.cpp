#include "heartbeat.h"

#include "event_tap.h"
#include "key_state.h"
#include "lifecycle.h"
#include "lines.h"
#include "permissions.h"
#include "stdin_reader.h"
#include "tap_callback.h"

#include <CoreGraphics/CoreGraphics.h>
#include <QuartzCore/CABase.h>

int32_t lastSecureInput = 0;

namespace {

constexpr CFTimeInterval kCapsIdleLimit = 15.0;
constexpr CFTimeInterval kCapsShiftLimit = 300.0;

bool runShouldEnd()
{
    return gStopRequested.load() != 0 || gParentEofDetected.load() != 0 || !isParentAlive();
}

void stopMainRunLoop()
{
    if (gMainRunLoop != nullptr)
        CFRunLoopStop(gMainRunLoop);
}

void readTap(HeartbeatReport& report)
{
    report.valid = gTap != nullptr && CFMachPortIsValid(gTap);
    report.enabled = report.valid && CGEventTapIsEnabled(gTap);
}

// Enables a disabled tap again and re-creates it when that does not take.
void reenableOrRecreate(HeartbeatReport& report, const char* reasonIfFailed)
{
    CGEventTapEnable(gTap, true);
    report.repaired = true;
    if (CGEventTapIsEnabled(gTap)) {
        report.enabled = true;
        report.valid = true;
        return;
    }
    recreateEventTap(reasonIfFailed);
    readTap(report);
}

void checkTap(HeartbeatReport& report)
{
    if (gTap == nullptr || !CFMachPortIsValid(gTap)) {
        recreateEventTap("heartbeat_port_invalid");
        report.repaired = true;
        readTap(report);
        return;
    }
    if (!CGEventTapIsEnabled(gTap)) {
        resetKeyState();
        reenableOrRecreate(report, "heartbeat_reenable_failed");
        return;
    }
    report.enabled = true;
    report.valid = true;
}

void followSecureInput(bool sec, HeartbeatReport& report)
{
    if ((sec ? 1 : 0) == lastSecureInput)
        return;
    lastSecureInput = sec ? 1 : 0;
    resetKeyState();
    writeRsLine(sec);
    if (sec)
        return;
    // Taps are often found broken when secure input ends.
    if (gTap == nullptr || !CFMachPortIsValid(gTap)) {
        recreateEventTap("secure_input_exit_invalid");
        report.repaired = true;
        readTap(report);
        return;
    }
    if (!CGEventTapIsEnabled(gTap)) {
        reenableOrRecreate(report, "secure_input_exit_disabled");
        return;
    }
    report.enabled = true;
    report.valid = true;
}

void releaseStuckModifiers(CGEventFlags flags)
{
    for (const ModifierKey& key : kModifierKeys) {
        if (*key.held == 0 || (flags & key.mask) != 0)
            continue;
        *key.held = 0;
        writeStuckModifierUpLine(key.vk);
    }
}

void releaseStuckCaps(CFTimeInterval now)
{
    if (!capsShiftHeld) {
        if (lastCapsActivityAt <= 0.0 || now - lastCapsActivityAt < kCapsIdleLimit)
            return;
    } else if (capsHeldAt <= 0.0 || now - capsHeldAt < kCapsShiftLimit) {
        return;
    }
    const bool withShift = capsShiftHeld;
    capsHeld = false;
    capsShiftHeld = false;
    shiftHeld = 0;
    capsHeldAt = 0.0;
    lastCapsActivityAt = 0.0;
    writeStuckCapsUpLines(withShift);
}

void releaseStuckKeys(bool sec)
{
    const CFTimeInterval now = CACurrentMediaTime();
    const CGEventFlags flags = CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState);
    if ((flags & kShiftMasks) == 0 && !capsHeld && shiftHeld != 0)
        shiftHeld = 0;
    releaseStuckModifiers(flags);
    if (!sec && capsHeld)
        releaseStuckCaps(now);
}

}  // namespace

void heartbeat(CFRunLoopTimerRef, void*)
{
    readStdinWithoutThread();
    if (runShouldEnd()) {
        stopMainRunLoop();
        return;
    }
    takeResetRequest();

    HeartbeatReport report;
    checkTap(report);
    const bool sec = isSecureEventInputEnabledSafe();
    followSecureInput(sec, report);
    if (applyListenOnlyUpgradeRule(sec))
        readTap(report);
    releaseStuckKeys(sec);

    if (!writeHeartbeatLine(report, eventCount, sec, gTapType)) {
        // Nobody reads us any more.
        gParentEofDetected.exchange(1);
        stopMainRunLoop();
    }
}

void resetHeartbeatGlobals()
{
    lastSecureInput = 0;
}
