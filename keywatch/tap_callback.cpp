#include "tap_callback.h"

#include "event_tap.h"
#include "key_state.h"
#include "lines.h"
#include "options.h"
#include "stdin_reader.h"

#include <QuartzCore/CABase.h>

#include <atomic>

int32_t eventCount = 0;
int32_t lastAlphaShift = 0;
CFTimeInterval lastDriftNotifyAt = 0.0;

namespace {

constexpr CFTimeInterval kDriftInterval = 3.0;

bool isTapDisabledNotification(CGEventType type)
{
    return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

CGEventRef bringTapBack(CGEventType type, CGEventRef event)
{
    resetKeyState();
    writeReLine(static_cast<int32_t>(type));
    if (gTap != nullptr)
        CGEventTapEnable(gTap, true);
    if (gTap != nullptr && CFMachPortIsValid(gTap) && CGEventTapIsEnabled(gTap))
        return event;
    recreateEventTap("tap_disabled_reenable_failed");
    return event;
}

int32_t systemCapsLockState()
{
    return (CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState) & kAlphaShiftMask) != 0 ? 1 : 0;
}

CGEventRef reportCapsLockWatch(CGEventRef event)
{
    const int32_t state = systemCapsLockState();
    if (state == lastAlphaShift)
        return event;
    lastAlphaShift = state;
    watchPhysicalCapsOnce.store(false, std::memory_order_seq_cst);
    writeCpxLine(state);
    return event;
}

void notifyDrift()
{
    const CFTimeInterval now = CACurrentMediaTime();
    if (lastDriftNotifyAt > 0.0 && now - lastDriftNotifyAt < kDriftInterval)
        return;
    lastDriftNotifyAt = now;
    writeDriftLine();
}

CGEventRef capsDown()
{
    capsHeld = true;
    capsHeldAt = CACurrentMediaTime();
    lastCapsActivityAt = capsHeldAt;
    // The Shift key-up may have been lost while we were not watching.
    if (shiftHeld != 0 && (CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState) & kShiftMasks) == 0)
        shiftHeld = 0;
    writeCapsDownLine();
    if (shiftHeld != 0 && !capsShiftHeld) {
        capsShiftHeld = true;
        writeCapsShiftDownLine();
    }
    return nullptr;
}

CGEventRef capsUp()
{
    capsHeld = false;
    capsHeldAt = 0.0;
    lastCapsActivityAt = 0.0;
    if (capsShiftHeld) {
        capsShiftHeld = false;
        writeCapsShiftUpLine();
    }
    writeCapsUpLine();
    return nullptr;
}

CGEventRef classifyRemappedCaps(CGEventType type)
{
    if (type == kCGEventKeyDown && !capsHeld)
        return capsDown();
    if (type == kCGEventKeyUp && capsHeld)
        return capsUp();
    return nullptr;
}

CGEventRef classifyPhysicalCaps(CGEventRef event)
{
    const bool locked = (CGEventGetFlags(event) & kAlphaShiftMask) != 0;
    if (locked && !capsHeld)
        return capsDown();
    if (!locked && capsHeld)
        return capsUp();
    return nullptr;
}

CGEventRef classifyShift(CGEventRef event)
{
    shiftHeld = (CGEventGetFlags(event) & kShiftMasks) != 0 ? 1 : 0;
    if (!capsHeld)
        return event;
    lastCapsActivityAt = CACurrentMediaTime();
    if (shiftHeld != 0 && !capsShiftHeld) {
        capsShiftHeld = true;
        writeCapsShiftDownLine();
    } else if (shiftHeld == 0 && capsShiftHeld) {
        capsShiftHeld = false;
        writeCapsShiftUpLine();
    }
    return nullptr;
}

CGEventRef classifyWatchedKey(CGEventType type, int32_t vk)
{
    lastCapsActivityAt = CACurrentMediaTime();
    const int32_t mapped = directMap[vk];
    if (type == kCGEventKeyUp) {
        if (mapped < 0)
            writeKeyUpLine(vk);
        return nullptr;
    }
    if (type == kCGEventKeyDown) {
        if (mapped >= 0)
            simulateKey(mapped);
        else
            writeKeyDownLine(vk);
    }
    return nullptr;
}

CGEventRef classifyOtherKey(CGEventType type, int64_t kc, CGEventRef event)
{
    if (!capsHeld)
        return event;
    const int32_t vk = macToVK(static_cast<uint32_t>(kc));
    if (vk >= 0 && isWatchedKey(vk))
        return classifyWatchedKey(type, vk);
    // Keys that are not ours reach applications without Caps Lock's upper case.
    const CGEventFlags flags = CGEventGetFlags(event);
    if ((flags & kAlphaShiftMask) != 0)
        CGEventSetFlags(event, flags & ~kAlphaShiftMask);
    return event;
}

}  // namespace

void emitModifierPttEvent(int32_t* held, int32_t down, int32_t vk)
{
    if (down != 0 && *held == 0) {
        *held = 1;
        writeModifierDownLine(vk);
    } else if (down == 0 && *held != 0) {
        *held = 0;
        writeModifierUpLine(vk);
    }
}

CGEventRef cb(CGEventTapProxy, CGEventType type, CGEventRef event, void*)
{
    eventCount = static_cast<int32_t>(static_cast<uint32_t>(eventCount) + 1u);
    takeResetRequest();
    if (isTapDisabledNotification(type))
        return bringTapBack(type, event);

    const int64_t kc = CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode);
    if (debugMode)
        writeDbgLine(static_cast<int32_t>(type), kc, CGEventGetFlags(event));

    // One sequentially consistent read serves both the watch and the drift test.
    const bool watchArmed = watchPhysicalCapsOnce.load(std::memory_order_seq_cst);
    const bool physicalCaps = kc == kCapsLockKeycode && type == kCGEventFlagsChanged;
    if (physicalCaps && watchArmed)
        return reportCapsLockWatch(event);
    if (physicalCaps && remapKeycode >= 0)
        notifyDrift();

    if (remapKeycode >= 0 && kc == remapKeycode)
        return classifyRemappedCaps(type);
    if (physicalCaps && remapKeycode < 0)
        return classifyPhysicalCaps(event);

    if (type == kCGEventFlagsChanged) {
        if (const ModifierKey* modifier = findModifierKey(kc)) {
            emitModifierPttEvent(modifier->held, (CGEventGetFlags(event) & modifier->mask) != 0 ? 1 : 0,
                                 modifier->vk);
            return event;
        }
        if (kc == kLeftShiftKeycode || kc == kRightShiftKeycode)
            return classifyShift(event);
    }
    return classifyOtherKey(type, kc, event);
}

void resetTapCallbackGlobals()
{
    eventCount = 0;
    lastAlphaShift = 0;
    lastDriftNotifyAt = 0.0;
}
